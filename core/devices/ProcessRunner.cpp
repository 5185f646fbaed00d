#include "core/devices/ProcessRunner.hpp"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vellary {
namespace {

class SystemRunner : public ProcessRunner {
public:
    Outcome run(const std::vector<std::string>& arguments) override {
        Outcome outcome;
        if (arguments.empty()) return outcome;
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) return outcome;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv;
        for (const auto& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        if (spawned != 0) {
            ::close(pipeFds[0]);
            return outcome;
        }
        char buffer[8192];
        for (;;) {
            const auto n = ::read(pipeFds[0], buffer, sizeof buffer);
            if (n > 0) {
                outcome.output.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                break;
            }
        }
        ::close(pipeFds[0]);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        // posix_spawnp reports a missing program only through exit status 127.
        outcome.started = !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return outcome;
    }
};

} // namespace

std::shared_ptr<ProcessRunner> ProcessRunner::system() {
    static const auto runner = std::make_shared<SystemRunner>();
    return runner;
}

} // namespace vellary
