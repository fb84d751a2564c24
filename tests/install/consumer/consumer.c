/* A user's program built against an installed copy of the library. */
#include <quilvane_sdk.h>
#include <stdio.h>

int main(void) {
    QUILVANE_Init();
    OpenParams none = {0};
    none.type = 4;
    int handle = QUILVANE_Open(&none);
    int ok = handle == 0 && QUILVANE_Close(handle) == -1 && QUILVANE_Recv() == -1;
    QUILVANE_Exit();
    printf("consumer %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
