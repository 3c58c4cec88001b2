// Ctrl-C in a chat (POSIX signals; Linux only): the running program gets
// SIGINT while a reply is pending or while it waits for the next line.
#if !defined(_WIN32)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cli_runner.h"
#include "test_server.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using qai::test::CannedReply;
using qai::test::readFile;
using qai::test::TempDir;
using qai::test::TestServer;

// qai with a pipe on standard input and files for its output.
class RunningQai {
public:
    RunningQai(const std::vector<std::string>& args, const TempDir& dir) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        posix_spawn_file_actions_addopen(&actions, 1, (dir / "stdout.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (dir / "stderr.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> all = {QAI_CLI_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, QAI_CLI_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[0]);
        input_ = fds[1];
    }
    ~RunningQai() {
        if (input_ >= 0) close(input_);
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool started() const { return pid_ > 0; }
    void send(const std::string& line) {
        EXPECT_EQ(write(input_, line.data(), line.size()), ssize_t(line.size()));
    }
    void endInput() {
        close(input_);
        input_ = -1;
    }
    void interrupt() { kill(pid_, SIGINT); }

    /// The exit status, or -1 when the program is still running after limit.
    int wait(std::chrono::milliseconds limit) {
        for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int status_ = -1;
};

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

CannedReply slowReply() {
    CannedReply reply(200, R"({"choices":[{"message":{"role":"assistant","content":"late"}}]})");
    reply.delay = 20s;
    return reply;
}

std::vector<std::string> chatArgs(const TestServer& server, const std::string& history) {
    return {"chat", "--provider", "openai", "--model", "m", "--host", server.url(), "--history", history};
}

// Ctrl-C while a reply is pending ends that request at once and returns to
// the prompt; the next message goes out without the stopped one, and the
// history holds only the completed exchange.
TEST(CliInterrupt, FirstInterruptStopsThePendingReply) {
    TestServer server;
    server.replyOnce("POST", "/v1/chat/completions", slowReply());
    server.reply("POST", "/v1/chat/completions", 200,
                 R"({"choices":[{"message":{"role":"assistant","content":"fast"}}]})");
    TempDir dir("interrupt_stop");
    qai::test::setVariable("OPENAI_API_KEY", "k");
    std::string history = (dir / "h").string();

    RunningQai chat(chatArgs(server, history), dir);
    ASSERT_TRUE(chat.started());
    chat.send("slow question\n");
    ASSERT_TRUE(waitFor([&] { return server.requestCount() == 1; }, 10s));
    auto interrupted = std::chrono::steady_clock::now();
    chat.interrupt();
    EXPECT_TRUE(waitFor([&] { return readFile(dir / "stderr.txt").find("\n") != std::string::npos; }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 3s);
    EXPECT_EQ(readFile(dir / "stderr.txt"), "qai: Request cancelled\n");
    EXPECT_EQ(readFile(history), "");

    chat.send("fast question\n");
    chat.endInput();
    EXPECT_EQ(chat.wait(10s), 1);  // one exchange failed: the stopped one
    EXPECT_EQ(readFile(dir / "stdout.txt"), "fast\n");
    EXPECT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(server.lastRequest().body.find("slow question"), std::string::npos);
    EXPECT_EQ(readFile(history), "qai-history 1\nsummary \nuser fast question\nassistant fast\n");
    qai::test::setVariable("OPENAI_API_KEY", "");
}

// A second Ctrl-C while the reply is pending, and one at the prompt, end the
// program at once with the interrupt status; the history keeps what it had.
TEST(CliInterrupt, SecondInterruptAndIdleInterruptQuit) {
    TestServer server;
    server.reply("POST", "/v1/chat/completions", slowReply());
    TempDir dir("interrupt_quit");
    qai::test::setVariable("OPENAI_API_KEY", "k");
    std::string history = (dir / "h").string();

    RunningQai pending(chatArgs(server, history), dir);
    ASSERT_TRUE(pending.started());
    pending.send("slow question\n");
    ASSERT_TRUE(waitFor([&] { return server.requestCount() == 1; }, 10s));
    pending.interrupt();
    std::this_thread::sleep_for(200ms);
    pending.interrupt();
    EXPECT_EQ(pending.wait(5s), 130);
    EXPECT_EQ(readFile(history), "");

    RunningQai idle(chatArgs(server, history), dir);
    ASSERT_TRUE(idle.started());
    std::this_thread::sleep_for(300ms);
    idle.interrupt();
    EXPECT_EQ(idle.wait(5s), 130);
    EXPECT_EQ(server.requestCount(), 1u);
    qai::test::setVariable("OPENAI_API_KEY", "");
}

}  // namespace
#endif
