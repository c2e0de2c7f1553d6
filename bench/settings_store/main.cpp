// Cost of the settings store as the main window uses it: one save writes thirteen values, each
// a locked re-read, rewrite, fsync and rename of the registry file.
//   settings_store FOLDER [ROUNDS]
#include "settings/vkeey.h"
#include "settings/vreg.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (const double v : ms)
        sum += v;
    std::printf("%-34s mean %8.3f ms  median %8.3f ms  p95 %8.3f ms  max %8.3f ms\n", what,
                sum / static_cast<double>(ms.size()), ms[ms.size() / 2], ms[ms.size() * 95 / 100],
                ms.back());
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [ROUNDS]\n", argv[0]);
        return 64;
    }
    const std::string dir = argv[1];
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 50;
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/HKCU.reg";
    std::filesystem::remove(path);
    ::setenv("IMGLIFT_REGISTRY", path.c_str(), 1);

    TVReg reg;
    reg.SetFirmenname("Velmoran");
    reg.SetProgrammname("ImgLift");
    TVKeey keey;
    keey.SetProgrammID(11);
    keey.SetSchluessel("mirobask");
    const char* names[] = {"AutoClose", "OrginalSize", "ScanAll",   "ConstrainPorportions",
                           "Host",      "User",        "Password",  "Directory",
                           "Port",      "MaxWidth",    "MaxHeight", "Quality",
                           "ImageName"};

    std::vector<double> save, push, load;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = Clock::now();
        for (const char* n : names) {
            const auto p0 = Clock::now();
            reg.Push(n, std::string(n) == "Password" ? keey.Encode("secret" + std::to_string(r))
                                                     : "value " + std::to_string(r));
            push.push_back(Ms(Clock::now() - p0));
        }
        save.push_back(Ms(Clock::now() - t0));
        const auto l0 = Clock::now();
        for (const char* n : names)
            (void)reg.Pop(n);
        load.push_back(Ms(Clock::now() - l0));
    }
    // A keystroke in one settings edit: all thirteen stored again, one of them changed.
    std::vector<double> keystroke;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = Clock::now();
        for (const char* n : names)
            reg.Push(n, std::string(n) == "Host" ? "host " + std::to_string(r) : reg.Pop(n));
        keystroke.push_back(Ms(Clock::now() - t0));
    }
    std::printf("registry file %s, %d rounds, %ju bytes\n", path.c_str(), rounds,
                static_cast<std::uintmax_t>(std::filesystem::file_size(path)));
    Report("one Push", push);
    Report("save of 13 values (13 Push)", save);
    Report("load of 13 values (13 Pop)", load);
    Report("save with 1 of 13 changed", keystroke);
    return 0;
}
