// Preloaded into a program (LD_PRELOAD), makes the GPIO character device
// look as it does on a kernel before 5.10: the first interface's calls work,
// the second's (uAPI v2) fail with EINVAL, as the kernel answers a call it
// does not know.
#include <dlfcn.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdarg>

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    switch (request) {
        case GPIO_V2_GET_LINEINFO_IOCTL:
        case GPIO_V2_GET_LINEINFO_WATCH_IOCTL:
        case GPIO_V2_GET_LINE_IOCTL:
        case GPIO_V2_LINE_SET_CONFIG_IOCTL:
        case GPIO_V2_LINE_GET_VALUES_IOCTL:
        case GPIO_V2_LINE_SET_VALUES_IOCTL:
            errno = EINVAL;
            return -1;
        default:
            break;
    }
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, argument);
}
