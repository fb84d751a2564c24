/* QUILVANE_Init makes one discovery socket per adapter, each of which prints
 * "Bound to ADDRESS:PORT"; nothing is sent until a search. isolated_wine.sh
 * reads those lines before it lets a program broadcast. */
#include <stdio.h>

#include "quilvane_sdk.h"

int main(void) {
    QUILVANE_Init();
    QUILVANE_Exit();
    puts("adapters listed");
    return 0;
}
