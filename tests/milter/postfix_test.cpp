// orvamilter behind a real Postfix, set up as the README's "Plugging into
// Postfix" says: the filter on a Unix socket in Postfix's queue folder, under
// a chrooted smtpd, running as another user. Postfix runs from a private
// configuration and queue folder on loopback ports of its own and is stopped
// at the end. Two listeners: one with the filter, whose mail goes to a
// capture folder, and one without, whose mail for hop.test Postfix relays to
// the first, so that a deferral leaves the mail in Postfix's own queue.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <grp.h>
#include <memory>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

#include "standin/signatures.h"
#include "standin_process.h"
#include "support/mail_samples.h"
#include "support/run_process.h"
#include "support/smtp.h"
#include "support/temp_dir.h"

namespace {

constexpr char kPostfix[] = "/usr/sbin/postfix";
constexpr char kPostqueue[] = "/usr/sbin/postqueue";
constexpr int kDeliveryMs = 10000;

bool wait_for(const std::function<bool()> &condition, int limit_ms = kDeliveryMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string message(const std::string &subject, const std::string &body,
                    const std::string &content_type = "") {
    std::string text = "From: sender@src.test\r\nTo: user@dest.test\r\nSubject: " + subject +
                       "\r\nMIME-Version: 1.0\r\n";
    if (!content_type.empty()) text += "Content-Type: " + content_type + "\r\n";
    return text + "\r\n" + body;
}

std::string infected_message(const std::string &subject) {
    return message(
        subject,
        mail_body_with_attachment(standin::test_file_bytes(), "Content-Transfer-Encoding: base64"),
        std::string("multipart/mixed; boundary=\"") + kMailBoundary + "\"");
}

// "250 2.0.0 Ok: queued as 4F2A91C3" gives 4F2A91C3.
std::string queue_id(const std::string &reply) {
    const size_t at = reply.find("queued as ");
    if (at == std::string::npos) return "";
    return reply.substr(at + 10, reply.find_first_of("\r\n ", at + 10) - at - 10);
}

// A SASL service as Postfix's "dovecot" client speaks to it, which takes
// every login: enough for Postfix to announce AUTH and tell the filter who
// logged in.
class LoginService {
  public:
    explicit LoginService(const std::string &path) : path_(path) {
        listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        bound_ = bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                 chmod(path.c_str(), 0666) == 0 && listen(listener_, 16) == 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~LoginService() {
        stop_ = true;
        thread_.join();
        close(listener_);
        unlink(path_.c_str());
    }
    bool bound() const { return bound_; }

  private:
    void serve() {
        std::vector<pollfd> fds = {{listener_, POLLIN, 0}};
        std::vector<std::string> input(1);
        while (!stop_) {
            if (poll(fds.data(), fds.size(), 50) <= 0) continue;
            if ((fds[0].revents & POLLIN) != 0) {
                int client = accept(listener_, nullptr, nullptr);
                const std::string hello = "VERSION\t1\t2\nMECH\tPLAIN\tplaintext\nSPID\t1\n"
                                          "CUID\t1\nCOOKIE\t0123456789abcdef0123456789abcdef\n"
                                          "DONE\n";
                if (client >= 0 && write(client, hello.data(), hello.size()) > 0) {
                    fds.push_back({client, POLLIN, 0});
                    input.emplace_back();
                }
            }
            for (size_t index = 1; index < fds.size(); ++index) {
                if (fds[index].revents == 0) continue;
                char buffer[2048];
                ssize_t got = read(fds[index].fd, buffer, sizeof buffer);
                if (got <= 0) {
                    close(fds[index].fd);
                    fds.erase(fds.begin() + static_cast<long>(index));
                    input.erase(input.begin() + static_cast<long>(index));
                    --index;
                    continue;
                }
                input[index].append(buffer, static_cast<size_t>(got));
                for (size_t end; (end = input[index].find('\n')) != std::string::npos;) {
                    const std::string line = input[index].substr(0, end);
                    input[index].erase(0, end + 1);
                    if (line.rfind("AUTH\t", 0) != 0) continue;
                    const std::string id = line.substr(5, line.find('\t', 5) - 5);
                    const std::string ok = "OK\t" + id + "\tuser=alice\n";
                    (void)!write(fds[index].fd, ok.data(), ok.size());
                }
            }
        }
        for (size_t index = 1; index < fds.size(); ++index)
            close(fds[index].fd);
    }

    std::string path_;
    int listener_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class PostfixTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (getuid() != 0) GTEST_SKIP() << "Postfix's master process must be started as root";
        struct stat info {};
        if (stat(kPostfix, &info) != 0)
            GTEST_SKIP() << "Postfix is not installed (Debian package postfix; scripts/test.sh "
                            "installs it when run as root)";
        if (getpwnam("postfix") == nullptr || getgrnam("postfix") == nullptr ||
            getpwnam("nobody") == nullptr)
            GTEST_SKIP() << "the users postfix and nobody and the group postfix are needed";
    }

    void TearDown() override {
        if (!conf_.empty()) {
            run_process(kPostfix, {"postfix", "-c", conf_, "stop"}, {"", "", 10000});
            // The master is gone once it has removed its pid file's lock.
            const std::string pid_file = root_ / "queue/pid/master.pid";
            wait_for([&] {
                std::ifstream in(pid_file);
                pid_t pid = 0;
                return !(in >> pid) || kill(pid, 0) != 0;
            });
        }
    }

    std::string write(const std::string &name, const std::string &text) {
        return TempDir::write_file(root_ / name, text);
    }

    // What Postfix logged so far.
    std::string maillog() const { return TempDir::read(root_ / "maillog"); }

    std::string postqueue(const std::string &option) {
        return run_process(kPostqueue, {"postqueue", "-c", conf_, option}, {"", "", 10000}).out;
    }

    // The delivered message whose Subject line is `subject`, or "".
    std::string delivered(const std::string &subject) {
        for (const std::string &name : TempDir::list(root_ / "mail")) {
            std::string text = TempDir::read(root_ / "mail/" + name);
            if (text.find("\nSubject: " + subject + "\n") != std::string::npos) return text;
        }
        return "";
    }

    TempDir root_;
    std::string conf_;
};

TEST_F(PostfixTest, TheReadmeStepsScanMailOnItsWayIn) {
    // The folders as the README makes them: the filter's socket folder in
    // Postfix's queue folder, the spool folder, both the filter user's.
    chmod(root_.path().c_str(), 0755);
    const uid_t nobody = getpwnam("nobody")->pw_uid;
    const gid_t nobody_group = getpwnam("nobody")->pw_gid;
    const uid_t postfix = getpwnam("postfix")->pw_uid;
    const gid_t postfix_group = getgrnam("postfix")->gr_gid;
    for (const char *folder : {"conf", "queue", "data", "mail", "spool", "scanner"})
        ASSERT_EQ(mkdir((root_ / folder).c_str(), 0755), 0);
    chmod((root_ / "mail").c_str(), 0777);
    ASSERT_EQ(chown((root_ / "data").c_str(), postfix, 0), 0);
    ASSERT_EQ(chown((root_ / "spool").c_str(), nobody, nobody_group), 0);
    chmod((root_ / "spool").c_str(), 0750);
    ASSERT_EQ(mkdir((root_ / "queue/orvamilter").c_str(), 0750), 0);
    ASSERT_EQ(chown((root_ / "queue/orvamilter").c_str(), nobody, postfix_group), 0);

    // The scanning server, with a socket that the filter's user may use.
    const std::string scanner = root_ / "scanner/scanner.sock";
    std::unique_ptr<StandinProcess> server;
    auto start_scanner = [&] {
        server = std::make_unique<StandinProcess>(
            std::vector<std::string>{"--socket", scanner, "--signatures", SAMPLE_SIGNATURES},
            false);
        ASSERT_TRUE(wait_for([&] { return access(scanner.c_str(), F_OK) == 0; }, 5000));
        chmod(scanner.c_str(), 0666);
    };
    start_scanner();

    const std::string socket = root_ / "queue/orvamilter/orvamilter.sock";
    BackgroundProcess filter(ORVAMILTER_BINARY,
                             {"orvamilter",
                              "-f",
                              "-e",
                              "-l",
                              "unix:" + socket,
                              "-M",
                              "0660",
                              "-G",
                              "postfix",
                              "-u",
                              "nobody",
                              "-s",
                              scanner,
                              "-d",
                              root_ / "spool",
                              "-a",
                              "warning=quarantine",
                              "-A",
                              "-t",
                              "5",
                              "-T",
                              "2"},
                             root_ / "filter.log");
    ASSERT_TRUE(wait_for(
        [&] {
            return TempDir::read(root_ / "filter.log").find(" listening on ") != std::string::npos;
        },
        5000))
        << TempDir::read(root_ / "filter.log");

    const uint16_t plain_port = free_tcp_port();
    const uint16_t filtered_port = free_tcp_port();
    ASSERT_NE(plain_port, filtered_port);
    const std::string root = root_.path();
    // The README's lines, then what makes this instance private.
    write("conf/main.cf",
          "smtpd_milters = unix:/orvamilter/orvamilter.sock\n"
          "non_smtpd_milters = $smtpd_milters\n"
          "milter_default_action = tempfail\n"
          "compatibility_level = 3.6\n"
          "queue_directory = " +
              root +
              "/queue\n"
              "data_directory = " +
              root +
              "/data\n"
              "maillog_file = " +
              root +
              "/maillog\n"
              "maillog_file_prefixes = " +
              root +
              "\n"
              "inet_interfaces = loopback-only\ninet_protocols = ipv4\n"
              "myhostname = mx.orva.test\nmydestination =\nmynetworks = 127.0.0.0/8\n"
              "relay_domains = dest.test hop.test\n"
              "transport_maps = inline:{ hop.test=smtp:[127.0.0.1]:" +
              std::to_string(filtered_port) +
              " }\n"
              "alias_maps =\nalias_database =\nsmtp_dns_support_level = disabled\n"
              "smtpd_sasl_type = dovecot\nsmtpd_sasl_path = private/auth\n");
    write("capture.sh", "#!/bin/sh\ncat > \"$1/$2.eml\"\n");
    chmod((root_ / "capture.sh").c_str(), 0755);
    const std::string services[] = {
        "pickup unix n - y 60 1 pickup",  "cleanup unix n - y - 0 cleanup",
        "qmgr unix n - n 300 1 qmgr",     "rewrite unix - - y - - trivial-rewrite",
        "bounce unix - - y - 0 bounce",   "defer unix - - y - 0 bounce",
        "trace unix - - y - 0 bounce",    "verify unix - - y - 1 verify",
        "flush unix n - y 1000? 0 flush", "proxymap unix - - n - - proxymap",
        "smtp unix - - y - - smtp",       "showq unix n - y - - showq",
        "error unix - - y - - error",     "retry unix - - y - - error",
        "discard unix - - y - - discard", "anvil unix - - y - 1 anvil",
        "scache unix - - y - 1 scache",   "postlog unix-dgram n - n - 1 postlogd"};
    std::string master = "127.0.0.1:" + std::to_string(plain_port) +
                         " inet n - n - - smtpd -o smtpd_milters= -o non_smtpd_milters=\n"
                         "127.0.0.1:" +
                         std::to_string(filtered_port) +
                         " inet n - y - - smtpd -o content_filter=capture:dummy"
                         " -o smtpd_sasl_auth_enable=yes\n";
    for (const std::string &service : services)
        master += service + "\n";
    master += "capture unix - n n - - pipe flags=q user=nobody argv=" + root + "/capture.sh " +
              root + "/mail ${queue_id}\n";
    write("conf/master.cf", master);
    conf_ = root_ / "conf";
    ProcessResult started =
        run_process(kPostfix, {"postfix", "-c", conf_, "start"}, {"", "", 20000});
    ASSERT_EQ(started.status, 0) << started.out << started.err << maillog();
    LoginService logins(root_ / "queue/private/auth");
    ASSERT_TRUE(logins.bound());

    // Clean mail is delivered with the filter's headers.
    SmtpClient smtp(filtered_port);
    ASSERT_EQ(smtp.greeting().rfind("220", 0), 0u) << maillog();
    EXPECT_EQ(smtp.command("EHLO client.test").rfind("250", 0), 0u);
    std::string reply = smtp.send_mail("sender@src.test", {"user@dest.test"},
                                       message("clean", "The figures are in order.\r\n"));
    EXPECT_EQ(reply.rfind("250 ", 0), 0u) << reply << maillog();
    ASSERT_TRUE(wait_for([&] { return !delivered("clean").empty(); })) << maillog();
    EXPECT_NE(delivered("clean").find("\nX-Virus-Status: OK\nX-Virus-Scanned: orvamilter "),
              std::string::npos)
        << delivered("clean");

    // Infected mail is refused with the names.
    reply = smtp.send_mail("sender@src.test", {"user@dest.test"}, infected_message("infected"));
    EXPECT_EQ(reply, "550 5.7.1 Message refused: INFECTED EICAR-Test-File\r\n");

    // A warning is held in the hold queue, with the verdict as the reason.
    reply = smtp.send_mail("sender@src.test", {"user@dest.test"},
                           message("packed", "Built with STANDIN-SAMPLE-PACKER\r\n"));
    const std::string held = queue_id(reply);
    ASSERT_FALSE(held.empty()) << reply;
    EXPECT_TRUE(wait_for([&] { return postqueue("-p").find(held + "!") != std::string::npos; }))
        << postqueue("-p");
    EXPECT_NE(maillog().find(held + ": milter-hold: END-OF-MESSAGE from"), std::string::npos);
    // Postfix logs a reason of its own; the held message carries the verdict.
    const std::string held_text =
        run_process("/usr/sbin/postcat", {"postcat", "-c", conf_, "-h", "-q", held}).out;
    EXPECT_NE(held_text.find("X-Virus-Status: WARNING Sample.Packer"), std::string::npos)
        << held_text;

    // An authenticated sender's mail passes unscanned, and says so.
    EXPECT_EQ(smtp.command("AUTH PLAIN AGFsaWNlAHNlY3JldA=="),
              "235 2.7.0 Authentication successful\r\n");
    reply = smtp.send_mail("alice@src.test", {"user@dest.test"}, infected_message("from alice"));
    EXPECT_EQ(reply.rfind("250 ", 0), 0u) << reply;
    ASSERT_TRUE(wait_for([&] { return !delivered("from alice").empty(); })) << maillog();
    EXPECT_NE(delivered("from alice").find("\nX-Virus-Status: SKIPPED authenticated sender\n"),
              std::string::npos);
    smtp.command("QUIT");

    // Without the scanner: 451, and the mail that Postfix relays stays in
    // its queue until the scanner is back and the queue is flushed.
    server->stop();
    SmtpClient direct(filtered_port);
    direct.command("EHLO client.test");
    reply = direct.send_mail("sender@src.test", {"user@dest.test"}, message("deferred", "Hi.\r\n"));
    EXPECT_EQ(reply, "451 4.3.0 Message could not be scanned, try again later\r\n");
    SmtpClient relayed(plain_port);
    relayed.command("EHLO client.test");
    reply = relayed.send_mail("sender@src.test", {"user@hop.test"}, message("relayed", "Hi.\r\n"));
    const std::string queued = queue_id(reply);
    ASSERT_FALSE(queued.empty()) << reply;
    EXPECT_TRUE(wait_for([&] {
        return maillog().find(queued + ": to=<user@hop.test>") != std::string::npos &&
               maillog().find("status=deferred") != std::string::npos;
    })) << maillog();
    EXPECT_NE(postqueue("-p").find(queued), std::string::npos) << postqueue("-p");
    EXPECT_TRUE(delivered("relayed").empty());

    start_scanner();
    postqueue("-f");
    EXPECT_TRUE(wait_for([&] { return !delivered("relayed").empty(); })) << maillog();
    EXPECT_NE(delivered("relayed").find("\nX-Virus-Status: OK\n"), std::string::npos);
    EXPECT_EQ(postqueue("-p").find(queued), std::string::npos) << postqueue("-p");
    EXPECT_EQ(filter.stop(), 0);
    EXPECT_TRUE(TempDir::list(root_ / "spool").empty());
    // Postfix hands the filter the envelope with the end of the message.
    const std::string log = TempDir::read(root_ / "filter.log");
    EXPECT_NE(log.find("verdict=INFECTED names=EICAR-Test-File action=reject"), std::string::npos);
    EXPECT_NE(log.find(" client=127.0.0.1 from=<sender@src.test> to=<user@dest.test>"),
              std::string::npos)
        << log;
}

} // namespace
