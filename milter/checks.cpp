#include "milter/checks.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/scan.h"
#include "milter/spool.h"

namespace {

constexpr char kProbeText[] = "From: orvamilter\r\nSubject: configuration check\r\n\r\n"
                              "This file shows that the scanning server reads the spool files.\r\n";

std::string error_text(int error) {
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);
}

std::string user_name() {
    char buffer[4096];
    struct passwd entry {};
    struct passwd *found = nullptr;
    uid_t uid = geteuid();
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(uid);
}

std::string group_text(gid_t group) {
    char buffer[4096];
    struct group entry {};
    struct group *found = nullptr;
    if (getgrgid_r(group, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->gr_name;
    return std::to_string(group);
}

// Whether the process may give a file to `group`: root, or a member of it.
bool may_use_group(gid_t group) {
    if (geteuid() == 0 || getegid() == group) return true;
    gid_t groups[1024];
    int count = getgroups(1024, groups);
    for (int index = 0; index < count; ++index)
        if (groups[index] == group) return true;
    return false;
}

} // namespace

bool server_unreachable(ResultCode code) {
    return code == RC_CONNECT_FAILED || code == RC_TIMEOUT || code == RC_SERVER_OVERLOADED;
}

const char *scan_failure_text(ResultCode code) {
    switch (code) {
    case RC_CONNECT_FAILED:
        return "cannot connect to the scanning server";
    case RC_TIMEOUT:
        return "the scanning server did not answer in time";
    case RC_SERVER_OVERLOADED:
        return "the scanning server is overloaded";
    case RC_CLIENT_NOT_ALLOWED:
        return "the scanning server does not allow this client";
    case RC_VERSION_MISMATCH:
        return "the scanning server speaks another protocol version";
    case RC_READ_FAILED:
    case RC_WRITE_FAILED:
        return "the connection to the scanning server broke";
    case RC_SCAN_525:
    case RC_SCAN_532:
        return "the scanning server refused the scan";
    case RC_PROTOCOL_ERROR:
        return "unexpected reply from the scanning server";
    case RC_NO_MEMORY:
        return "out of memory";
    case RC_BUSY:
        return "the filter is stopping";
    case RC_BAD_ARGUMENT:
        return "the spool file could not be scanned";
    default:
        return result_code_text(code);
    }
}

std::vector<CheckResult> check_setup(const CheckSettings &settings, ScannerPool &pool) {
    std::vector<CheckResult> results;
    auto say = [&](CheckLevel level, std::string text) {
        results.push_back({level, std::move(text)});
    };
    const std::string user = user_name();
    const std::string &folder = settings.folder;

    if (settings.group != static_cast<gid_t>(-1) && !may_use_group(settings.group)) {
        say(CheckLevel::Failed, "the filter's user " + user + " is not in the group " +
                                    settings.group_name +
                                    " of -g, so the spool files cannot be given to it");
        return results;
    }

    SpoolFile probe;
    int error = probe.create(folder, settings.group);
    if (error != 0) {
        say(CheckLevel::Failed, "cannot create a file in the spool folder " + folder + ": " +
                                    error_text(error) + " (the folder must be writable by " + user +
                                    ")");
        return results;
    }
    struct stat info {};
    if (stat(probe.path().c_str(), &info) != 0) {
        say(CheckLevel::Failed,
            "the probe file " + probe.path() + " vanished: " + error_text(errno));
        return results;
    }
    const gid_t wanted = settings.group != static_cast<gid_t>(-1) ? settings.group : info.st_gid;
    if (info.st_gid != wanted || (info.st_mode & 07777) != 0640) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        say(CheckLevel::Failed, "the probe file in " + folder + " has the group " +
                                    group_text(info.st_gid) + " and the mode " + mode +
                                    ", not the group " + group_text(wanted) + " and 0640");
        return results;
    }
    error = probe.write(kProbeText, sizeof kProbeText - 1);
    if (error == 0) error = probe.finish();
    if (error != 0) {
        say(CheckLevel::Failed,
            "cannot write a file in the spool folder " + folder + ": " + error_text(error));
        return results;
    }
    say(CheckLevel::Passed, "spool folder " + folder + ": " + user +
                                " creates files there of group " + group_text(wanted) +
                                ", mode 0640");

    for (uint32_t index = 0; index < pool.size(); ++index) {
        ScanReport report{};
        ResultCode code = pool.scan_on(index, probe.path().c_str(), &report);
        const Verdict verdict = report.verdict;
        scan_report_clear(&report);
        const std::string server = std::string("the scanning server ") + pool.address(index);
        if (code != RC_OK && server_unreachable(code)) {
            say(settings.server_needed ? CheckLevel::Failed : CheckLevel::Warning,
                server + " cannot be reached: " + scan_failure_text(code) +
                    " (its socket must let " + user + " connect)");
        } else if (code != RC_OK) {
            // A connection that broke at start is a server going down or
            // restarting: like one not up yet, the pool tries it again later.
            const bool may_come_back = code == RC_READ_FAILED || code == RC_WRITE_FAILED;
            say(settings.server_needed || !may_come_back ? CheckLevel::Failed : CheckLevel::Warning,
                server + " did not scan the probe file: " + scan_failure_text(code));
        } else if (verdict == VERDICT_ERROR) {
            say(CheckLevel::Failed, server + " cannot read the probe file in " + folder +
                                        ": its user must be able to enter the folder and read "
                                        "files of the group " +
                                        group_text(wanted));
        } else if (verdict != VERDICT_OK) {
            say(CheckLevel::Failed,
                server + " found the probe file " + verdict_name(verdict) + ", not OK");
        } else {
            say(CheckLevel::Passed, server + " reads the spool files: the probe file is OK");
        }
    }
    return results;
}
