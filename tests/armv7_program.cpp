// A program that scripts/check-armv6 must reject, built with the project's
// ARMv6 flags so that its build attributes say ARMv6KZ: one instruction that
// only ARMv6T2 and later have, in ARM state (movw), or with THUMB2 in Thumb
// state (a 32-bit data memory barrier). It is never run.
#ifdef THUMB2
asm(".thumb\n"
    ".thumb_func\n"
    ".global armv7_code\n"
    ".type armv7_code, %function\n"
    "armv7_code:\n"
    "  .inst.w 0xf3bf8f5f\n"
    "  bx lr\n"
    ".arm\n");
extern "C" void armv7_code();
#else
extern "C" void armv7_code() {
    asm volatile(".inst 0xe3000000");
}
#endif

int main() {
    armv7_code();
    return 0;
}
