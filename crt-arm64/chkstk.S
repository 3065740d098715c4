// The stack probe clang calls before it reserves a frame of 4 KiB or more
// on ARM64 Windows: touches each page of the frame, top down, so that the
// guard page moves down one page at a time. x15 holds the frame's size in
// units of 16 bytes; only x16 and x17 may change.
    .text
    .globl __chkstk
    .p2align 2
__chkstk:
    lsl x16, x15, #4
    mov x17, sp
1:
    sub x17, x17, #4096
    subs x16, x16, #4096
    ldr xzr, [x17]
    b.gt 1b
    ret
