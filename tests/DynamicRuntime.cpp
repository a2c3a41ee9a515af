// Linked without -static, so that it needs the C++ runtime DLL the release must not need.
#include <stdexcept>

int main(int argc, char**)
{
    try {
        if (argc > 1)
            throw std::runtime_error("unused");
    } catch (const std::exception&) {
        return 1;
    }
    return 0;
}
