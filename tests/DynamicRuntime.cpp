// Linked without -static, so that it needs the compiler's runtime DLLs the release must not need:
// the C++ library, GCC's own and the POSIX threads one.
#include <pthread.h>

#include <stdexcept>

int main(int argc, char**)
{
    try {
        if (argc > 1)
            throw std::runtime_error("unused");
    } catch (const std::exception&) {
        return static_cast<int>(pthread_self() != 0);
    }
    return 0;
}
