#pragma once
// A D-Bus session bus of a test's own, for the stand-ins of desktop services.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// A session bus of the test's own, with nothing activatable on it. QtDBus reads the bus address
// once, so the bus is up before main() runs.
class PrivateSessionBus {
public:
    PrivateSessionBus() {
        std::string dir = (std::filesystem::temp_directory_path() / "imglift-bus-XXXXXX").string();
        if (!mkdtemp(dir.data())) return;
        Dir = dir;
        const std::string config = Dir + "/bus.conf";
        std::ofstream(config) << "<busconfig><type>session</type><listen>unix:dir=" << Dir
                              << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                 "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                                 "</busconfig>\n";
        int fds[2];
        if (pipe(fds) != 0) return;
        Pid = fork();
        if (Pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            const std::string option = "--config-file=" + config;
            execlp("dbus-daemon", "dbus-daemon", option.c_str(), "--nofork", "--print-address=1",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        const std::unique_ptr<FILE, int (*)(FILE*)> out(fdopen(fds[0], "r"), &fclose);
        char line[512] = {};
        if (Pid > 0 && out && std::fgets(line, sizeof line, out.get())) {
            Address = line;
            while (!Address.empty() && Address.back() == '\n')
                Address.pop_back();
            setenv("DBUS_SESSION_BUS_ADDRESS", Address.c_str(), 1);
        }
    }
    ~PrivateSessionBus() {
        if (Pid > 0) {
            kill(Pid, SIGTERM);
            waitpid(Pid, nullptr, 0);
        }
        if (!Dir.empty()) std::filesystem::remove_all(Dir);
    }
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    bool Up() const { return !Address.empty(); }

private:
    std::string Dir;
    std::string Address;
    pid_t Pid = -1;
};

} // namespace testsupport

using testsupport::PrivateSessionBus;
