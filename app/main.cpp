#include "app/Program.h"

// Entry point of the Talvenmark Pro Upgrade Utility.
int main(int argc, char** argv) {
    return Program::Main(argc, argv);
}
