#pragma once

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>

// Environment variable set for one test and put back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : FName(name) {
        if (const char* old = std::getenv(name)) FOld = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (FOld)
            ::setenv(FName, FOld->c_str(), 1);
        else
            ::unsetenv(FName);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* FName;
    std::optional<std::string> FOld;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

inline unsigned Mode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// Each test gets its own registry file in a fresh temporary folder.
class TempRegistryTest : public ::testing::Test {
protected:
    TempRegistryTest()
        : FDir(), Dir(FDir.path().toStdString()), Path(Dir + "/HKCU.reg"),
          FEnv("IMGLIFT_REGISTRY", Path) {}

private:
    QTemporaryDir FDir;

protected:
    const std::string Dir;
    const std::string Path;

private:
    ScopedEnv FEnv;
};

inline const std::string kHeader = "REGEDIT4\n\n";
inline const std::string kImgLiftKey = "[HKEY_CURRENT_USER\\Software\\Velmoran\\ImgLift]\n";
