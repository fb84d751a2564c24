/* call_misaligned(function, count, args) calls function(args[0], ...,
 * args[count - 1]), cdecl, with esp = 4 (mod 16) at the call instruction:
 * aligned to 4 bytes only, all that the 32-bit Windows ABI promises and all
 * that a caller built by another compiler may give. */
    .text
    .globl _call_misaligned
_call_misaligned:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    movl 8(%ebp), %eax
    movl 12(%ebp), %ecx
    movl 16(%ebp), %esi
    andl $-16, %esp
    /* After count pushes esp must be 4 (mod 16): pad by -(4 + 4 * count) mod 16. */
    leal 4(,%ecx,4), %edx
    negl %edx
    andl $15, %edx
    subl %edx, %esp
1:
    testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:
    call *%eax
    leal -4(%ebp), %esp
    popl %esi
    popl %ebp
    ret

/* esp_at_call() gives the stack pointer at the instruction that called it. */
    .globl _esp_at_call
_esp_at_call:
    leal 4(%esp), %eax
    ret
