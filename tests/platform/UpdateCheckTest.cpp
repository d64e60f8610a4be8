#include "engine/ExceptionModule.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/UpdateCheck.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <future>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

// A small HTTP server in Python that logs each request's path and user
// agent and answers as its control files say: "answer" (200 with the body),
// "notfound" (404 with the body), "endless" (the body, then bytes without
// end) or "silent" (accepts, reads the request and never answers).
const char* const kServerScript = R"PY(
import http.server, json, os, sys, time
control, port_file = sys.argv[1], sys.argv[2]

def read(name):
    with open(os.path.join(control, name), "rb") as f:
        return f.read()

class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(os.path.join(control, "requests.log"), "a") as log:
            log.write(json.dumps({"path": self.path, "agent": self.headers.get("User-Agent", "")}) + "\n")
        mode = read("mode").decode().strip()
        body = read("body")
        if mode == "silent":
            time.sleep(120)
            return
        self.send_response(404 if mode == "notfound" else 200)
        self.send_header("Content-Type", "text/plain")
        if mode != "endless":
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        try:
            while mode == "endless":
                self.wfile.write(b"x" * 65536)
        except OSError:
            pass

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
with open(port_file + ".part", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + ".part", port_file)
server.serve_forever()
)PY";

class UpdateServer {
public:
    UpdateServer() : control(testsupport::makeScratchFolder("update-server"))
    {
        testsupport::writeFile(control + "/server.py", kServerScript);
        setAnswer("answer", "");
        const std::string script = control + "/server.py";
        const std::string portFile = control + "/port";
        const char* argv[] = {"python3", script.c_str(), control.c_str(), portFile.c_str(), nullptr};
        if (posix_spawnp(&pid, "python3", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
            pid = -1;
            return;
        }
        for (int i = 0; i < 200 && !testsupport::exists(portFile); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (testsupport::exists(portFile))
            port = testsupport::readFile(portFile);
    }
    ~UpdateServer()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    bool isRunning() const { return !port.empty(); }
    std::string address() const { return "127.0.0.1:" + port; }

    void setAnswer(const std::string& mode, const std::string& body)
    {
        testsupport::writeFile(control + "/mode", mode);
        testsupport::writeFile(control + "/body", body);
    }
    // One JSON line per request received.
    std::string requests() const
    {
        return testsupport::exists(control + "/requests.log") ? testsupport::readFile(control + "/requests.log") : "";
    }
    void forgetRequests() const { std::remove((control + "/requests.log").c_str()); }

private:
    std::string control;
    pid_t pid = -1;
    std::string port;
};

class UpdateCheckOverHttp : public ::testing::Test {
protected:
    void SetUp() override
    {
        try {
            identity = toNarrow(getDeviceIdentity());
        } catch (const ExceptionModule&) {
            GTEST_SKIP() << "no device identity on this machine, so no request is ever sent";
        }
        // Straight to the local server, whatever proxy the machine names.
        setenv("no_proxy", "*", 1);
        setenv("NO_PROXY", "*", 1);
        server = std::make_unique<UpdateServer>();
        ASSERT_TRUE(server->isRunning()) << "the test server did not start";
        setenv("KORVELIN_UPDATE_SERVER", server->address().c_str(), 1);
    }
    void TearDown() override { unsetenv("KORVELIN_UPDATE_SERVER"); }

    // Runs one check on its own thread, failing the test (instead of hanging
    // it) if it does not come back at all.
    int checkWithoutHanging(UpdateCheck& update, const std::string& email, const std::string& version)
    {
        auto result = std::async(std::launch::async, [&] { return update.check(email, version); });
        if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            ADD_FAILURE() << "the update check did not return";
            std::abort(); // the thread still holds references into this frame
        }
        return result.get();
    }

    std::string identity;
    std::unique_ptr<UpdateServer> server;
};

} // namespace

TEST_F(UpdateCheckOverHttp, SendsTheRequestAndReadsTheAnswer)
{
    server->setAnswer("answer", "Version::0.32.000;Download::http://example.org/korvelin-0.32.000.tar.gz;");
    UpdateCheck update;
    EXPECT_EQ(checkWithoutHanging(update, "john+vault@example.com", "0.31.018"), 2);
    EXPECT_EQ(update.serverVersion(), "0.32.000");
    EXPECT_EQ(update.downloadAddress(), "http://example.org/korvelin-0.32.000.tar.gz");

    EXPECT_EQ(server->requests(), "{\"path\": \"/update.php?key=&email=john%2Bvault@example.com&version=0.31.018&mac="
                                      + identity + "\", \"agent\": \"InetURL/1.0\"}\n");
}

TEST_F(UpdateCheckOverHttp, ResultsFollowTheServersVersion)
{
    struct Case {
        const char* mode;
        std::string body;
        int expected;
        const char* download;
    };
    const Case cases[] = {
        {"answer", "Version::0.31.020;Download::http://d/1;", 1, "http://d/1"},
        {"answer", "Version::1.0;Download::https://d/3;", 3, "https://d/3"},
        {"answer", "Version::0.4.0;Download::http://d/2;", 2, "http://d/2"},
        {"answer", "Version::0.31.018;Download::http://d/0;", 0, ""},
        {"answer", "Download::http://d/x;", 0, ""},
        {"answer", "", 0, ""},
        // Only web addresses are offered for download.
        {"answer", "Version::0.32.000;Download::file:///etc/passwd;", 2, ""},
        // An error page is no answer, whatever it says.
        {"notfound", "Version::9.0.0;Download::http://d/9;", 0, ""},
        // Only the first 1024 bytes are read; the transfer is then dropped.
        {"endless", "Version::0.31.020;Download::http://d/e;", 1, "http://d/e"},
        {"endless", std::string(1030, ' ') + "Version::9.0.0;", 0, ""},
    };
    for (const auto& c : cases) {
        server->setAnswer(c.mode, c.body);
        UpdateCheck update;
        EXPECT_EQ(checkWithoutHanging(update, "a@b.c", "0.31.018"), c.expected) << c.mode << ": " << c.body;
        EXPECT_EQ(update.downloadAddress(), c.download) << c.body;
    }
}

TEST_F(UpdateCheckOverHttp, NothingIsSentWithoutEmailOrVersion)
{
    server->setAnswer("answer", "Version::9.0.0;Download::http://d/9;");
    UpdateCheck update;
    EXPECT_EQ(checkWithoutHanging(update, "", "0.31.018"), 0);
    EXPECT_EQ(checkWithoutHanging(update, "a@b.c", ""), 0);
    EXPECT_EQ(server->requests(), "");
    EXPECT_EQ(update.serverVersion(), "");
}

TEST_F(UpdateCheckOverHttp, ASilentServerGivesZeroAfterTheTimeOut)
{
    server->setAnswer("silent", "");
    UpdateCheck update;
    EXPECT_EQ(checkWithoutHanging(update, "a@b.c", "0.31.018"), 0);
    EXPECT_NE(server->requests().find("/update.php?"), std::string::npos) << "the request never arrived";
    EXPECT_EQ(update.downloadAddress(), "");
}

TEST_F(UpdateCheckOverHttp, NoServerListeningGivesZero)
{
    // A port that was free a moment ago: nothing accepts there.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(probe, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    socklen_t length = sizeof local;
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length), 0);
    close(probe);
    setenv("KORVELIN_UPDATE_SERVER", ("127.0.0.1:" + std::to_string(ntohs(local.sin_port))).c_str(), 1);

    UpdateCheck update;
    EXPECT_EQ(checkWithoutHanging(update, "a@b.c", "0.31.018"), 0);

    // An address that would change the request's path is not used at all.
    setenv("KORVELIN_UPDATE_SERVER", (server->address() + "/evil?x=").c_str(), 1);
    server->setAnswer("answer", "Version::9.0.0;");
    EXPECT_EQ(checkWithoutHanging(update, "a@b.c", "0.31.018"), 0);
    EXPECT_EQ(server->requests(), "");
}
