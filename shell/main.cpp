#include <cstdio>
#include <cstring>

// Entry point of the Talvenmark Pro Upgrade Utility.
int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("Talvenmark Pro Upgrade Utility Version 7.0.5\n");
        return 0;
    }
    std::printf("Talvenmark Pro Upgrade Utility Version 7.0.5\n");
    return 0;
}
