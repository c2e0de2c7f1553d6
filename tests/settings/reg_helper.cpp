// Test helper: a second running copy of the settings store.
//   reg_helper appdir                     prints AppDir()
//   reg_helper push-many PREFIX COUNT     stores PREFIX0..PREFIX<COUNT-1>, checking each one
//   reg_helper churn NAME START           stores ChurnValue(START), ChurnValue(START+1), ...
//                                         printing "ready" first and "w" after each write
#include "settings/vreg.h"
#include "tests/settings/churn_value.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    const std::string command = argv[1];
    TVReg reg;
    reg.SetFirmenname("Velmoran");
    reg.SetProgrammname("ImgLift");
    try {
        if (command == "appdir" && argc == 2) {
            std::printf("%s", reg.AppDir().c_str());
            return 0;
        }
        if (command == "push-many" && argc == 4) {
            const std::string prefix = argv[2];
            const int count = std::atoi(argv[3]);
            for (int i = 0; i < count; ++i) {
                const std::string name = prefix + std::to_string(i);
                const std::string value = "value of " + name;
                reg.Push(name, value);
                if (reg.Pop(name) != value) {
                    std::fprintf(stderr, "%s lost right after it was written\n", name.c_str());
                    return 2;
                }
            }
            return 0;
        }
        if (command == "churn" && argc == 4) {
            const std::string name = argv[2];
            // Bounded so that a writer nobody kills still ends.
            const long start = std::atol(argv[3]);
            std::printf("ready\n");
            std::fflush(stdout);
            for (long k = start; k < start + 100000; ++k) {
                reg.Push(name, ChurnValue(k));
                std::printf("w\n");
                std::fflush(stdout);
            }
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 3;
    }
    return 64;
}
