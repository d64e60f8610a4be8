// kist update-check against a real HTTP server on 127.0.0.1 that plays the
// update service, and against a port where nothing answers.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/tools/KistRunner.h"

using namespace kisttest;

namespace {

#define EXPECT_RUN(result, expectedStatus) \
    EXPECT_EQ((result).status, expectedStatus) << "stdout:\n" << (result).out << "stderr:\n" << (result).err

// The update service stand-in (update_server.py), answering every request
// with one fixed text; stopped when the object goes.
class UpdateServer {
public:
    explicit UpdateServer(const std::string& answer)
    {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("fork failed");
        if (pid == 0) {
            if (::dup2(pipeFds[1], STDOUT_FILENO) < 0)
                ::_exit(126);
            ::execl(KIST_PYTHON, KIST_PYTHON, KIST_UPDATE_SERVER_SCRIPT, answer.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        output = pipeFds[0];
        const std::string first = readLine(20000);
        if (first.empty())
            throw std::runtime_error("the update server did not start");
        port = std::stoi(first);
    }
    ~UpdateServer()
    {
        ::kill(pid, SIGTERM);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        ::close(output);
    }
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    // The next request path the server saw; empty when none came in time.
    std::string readLine(int timeoutMs)
    {
        std::string line;
        for (;;) {
            pollfd polled{output, POLLIN, 0};
            if (::poll(&polled, 1, timeoutMs) <= 0)
                return {};
            char c = 0;
            if (::read(output, &c, 1) != 1)
                return {};
            if (c == '\n')
                return line;
            line += c;
        }
    }

    std::string address() const { return "127.0.0.1:" + std::to_string(port); }

private:
    pid_t pid = -1;
    int output = -1;
    int port = 0;
};

// A port on 127.0.0.1 that nobody listens on (bound once, then released).
int closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot find a free port");
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace

TEST(KistUpdateCheck, PrintsTheCodeAndDownloadAddressTheServiceAnswers)
{
    const KistHome home("update");
    UpdateServer server("Version::0.32.000;Download::http://x/y;");
    const std::map<std::string, std::string> service = {{"KORVELIN_UPDATE_SERVER", server.address()}};

    // Without an e-mail address no request is made.
    const RunResult withoutEmail = home.run({"update-check"}, service);
    EXPECT_RUN(withoutEmail, 0);
    EXPECT_EQ(withoutEmail.out, "0 \n");
    EXPECT_EQ(server.readLine(300), "");

    EXPECT_RUN(home.run({"email", "a@b.c"}), 0);
    const RunResult newer = home.run({"update-check"}, service);
    EXPECT_RUN(newer, 0);
    EXPECT_EQ(newer.out, "2 http://x/y\n");
    EXPECT_EQ(newer.err, "");
    const std::string request = server.readLine(5000);
    EXPECT_EQ(request.rfind("/update.php?key=&email=", 0), 0u) << request;
    EXPECT_NE(request.find("&version=0.31.018&mac="), std::string::npos) << request;
}

TEST(KistUpdateCheck, AnswersZeroForTheSameVersionOrNoService)
{
    const KistHome home("noupdate");
    EXPECT_RUN(home.run({"email", "a@b.c"}), 0);
    {
        UpdateServer server("Version::0.31.018;Download::http://x/y;");
        const RunResult same = home.run({"update-check"}, {{"KORVELIN_UPDATE_SERVER", server.address()}});
        EXPECT_RUN(same, 0);
        EXPECT_EQ(same.out, "0 \n");
    }
    const RunResult nobody =
        home.run({"update-check"}, {{"KORVELIN_UPDATE_SERVER", "127.0.0.1:" + std::to_string(closedPort())}});
    EXPECT_RUN(nobody, 0);
    EXPECT_EQ(nobody.out, "0 \n");
    EXPECT_EQ(nobody.err, "");
}
