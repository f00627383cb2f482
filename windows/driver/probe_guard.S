// VhubProbeCall(Body, Context): runs Body(Context) under a structured
// exception frame and returns 0 when Body returned normally, 1 when an
// exception raised below it was dispatched to this frame.
//
// The frame is described entirely by unwind data, as x64 SEH requires:
//   - the prologue reserves 40 bytes (32 bytes of home space for the callee
//     plus 8 to keep the stack 16-byte aligned at the call);
//   - the language handler is the kernel's __C_specific_handler, which reads
//     the scope table that follows in the handler data;
//   - one scope entry covers the call. Its filter field is 1, which the
//     handler takes as the constant EXCEPTION_EXECUTE_HANDLER, and its jump
//     target is .Lraised. The handler unwinds every frame below this one
//     (restoring the non-volatile registers they saved) and resumes at the
//     jump target with RSP set to this frame's establisher frame, the RSP
//     value after the prologue, so the epilogue there is the normal one.
//
// The range [.Lbegin, .Lend) must contain the return address of the call:
// the dispatcher looks the frame up by that address, hence the nop after
// the call.
        .text
        .p2align 4
        .globl  VhubProbeCall
        .def    VhubProbeCall; .scl 2; .type 32; .endef
        .seh_proc VhubProbeCall
VhubProbeCall:
        subq    $40, %rsp
        .seh_stackalloc 40
        .seh_endprologue
        movq    %rcx, %rax          // Body
        movq    %rdx, %rcx          // Context becomes Body's first argument
.Lbegin:
        call    *%rax
        nop
.Lend:
        xorl    %eax, %eax
        addq    $40, %rsp
        ret
.Lraised:
        movl    $1, %eax
        addq    $40, %rsp
        ret
        .seh_handler __C_specific_handler, @except
        .seh_handlerdata
        .long   1                   // number of scope entries
        .rva    .Lbegin             // BeginAddress
        .rva    .Lend               // EndAddress
        .long   1                   // HandlerAddress: EXCEPTION_EXECUTE_HANDLER
        .rva    .Lraised            // JumpTarget
        .text
        .seh_endproc
