#include "milter/filter.h"

#include <chrono>
#include <cstring>
#include <libmilter/mfapi.h>
#include <libmilter/mfdef.h>
#include <new>
#include <string>
#include <strings.h>
#include <vector>

#include "milter/checks.h"
#include "milter/log.h"
#include "milter/spool.h"

namespace {

// Longest list of names put into a header or a reply, in bytes.
constexpr size_t kMaxNamesText = 400;

const MilterOptions *settings = nullptr;
const std::string *spool_folder = nullptr;
gid_t spool_group = static_cast<gid_t>(-1);
ScannerPool *scanners = nullptr;

struct Message {
    SpoolFile spool;
    uint64_t size = 0;     // bytes of headers and body seen
    int spool_error = 0;   // errno of the spool step that failed
    bool oversize = false; // over the size limit: no longer spooled
    unsigned forged = 0;   // status headers that the message brought along

    void reset() {
        spool.remove();
        size = 0;
        spool_error = 0;
        oversize = false;
        forged = 0;
    }
};

// One connection of the mail server; its messages come one after another.
struct Session {
    bool leading_space = false; // header values keep the blank after the colon
    Message message;
};

Session *session_of(SMFICTX *ctx) {
    auto *session = static_cast<Session *>(smfi_getpriv(ctx));
    if (session == nullptr) {
        session = new (std::nothrow) Session;
        if (session != nullptr && smfi_setpriv(ctx, session) != MI_SUCCESS) {
            delete session;
            session = nullptr;
        }
    }
    return session;
}

void spool_bytes(Message &message, const char *bytes, size_t count) {
    message.size += count;
    if (message.oversize || message.spool_error != 0) return;
    if (settings->max_size != 0 && message.size > settings->max_size) {
        // Nothing more of it is kept: the message is not scanned.
        message.oversize = true;
        message.spool.remove();
        return;
    }
    if (!message.spool.exists())
        message.spool_error = message.spool.create(*spool_folder, spool_group);
    if (message.spool_error == 0) message.spool_error = message.spool.write(bytes, count);
    if (message.spool_error != 0) message.spool.remove();
}

enum class Kind { Clean, Infected, Warning, Suspicion, Failure, Oversize };

struct Outcome {
    Kind kind = Kind::Failure;
    const char *verdict = "UNSCANNED";
    std::vector<std::string> names;
    std::string reason; // why a message was not scanned, for the log
};

// The first word of each line of a report list, once each, with every byte
// that could upset a header or a reply replaced.
std::vector<std::string> names_of(const char *list) {
    std::vector<std::string> names;
    size_t length = 0;
    for (const char *line = list; line != nullptr && *line != '\0';) {
        const char *end = std::strchr(line, '\n');
        if (end == nullptr) end = line + std::strlen(line);
        std::string name(line, static_cast<size_t>(std::strcspn(line, " \t\n")));
        for (char &c : name)
            if (c <= ' ' || c > '~' || c == '%') c = '?';
        bool known = false;
        for (const std::string &seen : names)
            known = known || seen == name;
        if (!name.empty() && !known) {
            if (length + name.size() > kMaxNamesText) {
                names.push_back("...");
                break;
            }
            length += name.size() + 1;
            names.push_back(name);
        }
        line = *end == '\0' ? end : end + 1;
    }
    return names;
}

// strerror_r as the GNU C library has it: other threads may be reporting too.
std::string error_text(int error) {
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);
}

std::string join(const std::vector<std::string> &names, const char *separator) {
    std::string text;
    for (const std::string &name : names) {
        if (!text.empty()) text += separator;
        text += name;
    }
    return text;
}

Outcome outcome_of(ResultCode code, const ScanReport &report) {
    Outcome outcome;
    if (code != RC_OK) {
        outcome.reason = scan_failure_text(code);
        return outcome;
    }
    outcome.verdict = verdict_name(report.verdict);
    const char *names = nullptr;
    switch (report.verdict) {
    case VERDICT_OK:
        outcome.kind = Kind::Clean;
        break;
    case VERDICT_INFECTED:
    case VERDICT_CUREFAILED:
    case VERDICT_DELETED:
        outcome.kind = Kind::Infected;
        names = report.infected_list;
        break;
    case VERDICT_CURED:
        outcome.kind = Kind::Infected;
        names = report.cured_list;
        break;
    case VERDICT_WARNING:
        outcome.kind = Kind::Warning;
        names = report.warning_list;
        break;
    case VERDICT_SUSPICION:
        outcome.kind = Kind::Suspicion;
        names = report.suspicion_list;
        break;
    case VERDICT_PROTECTED:
    case VERDICT_CORRUPTED:
        // Not wholly examined: treated as a suspicion.
        outcome.kind = Kind::Suspicion;
        break;
    default:
        outcome.verdict = "UNSCANNED";
        outcome.reason = "the scanning server could not read the message";
        break;
    }
    outcome.names = names_of(names);
    return outcome;
}

Outcome scan_message(Message &message) {
    Outcome outcome;
    if (message.oversize) {
        outcome.kind = Kind::Oversize;
        outcome.reason = "over the size limit";
        return outcome;
    }
    // A message without headers or body still gets its (empty) file.
    if (message.spool_error == 0 && !message.spool.exists())
        message.spool_error = message.spool.create(*spool_folder, spool_group);
    if (message.spool_error == 0) message.spool_error = message.spool.finish();
    if (message.spool_error != 0) {
        outcome.reason = "spool file: ";
        outcome.reason += error_text(message.spool_error);
        return outcome;
    }
    ScanReport report{};
    ResultCode code = scanners->scan(message.spool.path().c_str(), &report);
    outcome = outcome_of(code, report);
    scan_report_clear(&report);
    return outcome;
}

Action action_for(Kind kind) {
    switch (kind) {
    case Kind::Clean:
        return Action::Accept;
    case Kind::Infected:
        return settings->infected;
    case Kind::Warning:
        return settings->warning;
    case Kind::Suspicion:
        return settings->suspicion;
    case Kind::Failure:
        return settings->failure;
    case Kind::Oversize:
        return settings->oversize;
    }
    return Action::Tempfail;
}

// The status header's value: the verdict and the names, or why the message
// was not scanned.
std::string status_text(const Outcome &outcome) {
    if (outcome.kind == Kind::Oversize) return "UNSCANNED over the size limit";
    if (outcome.kind == Kind::Failure) return "UNSCANNED scanner unavailable";
    std::string text = outcome.verdict;
    if (!outcome.names.empty()) {
        text += ' ';
        text += join(outcome.names, " ");
    }
    return text;
}

// The value of a header that the filter adds. When the mail server passes
// header values with the blank after the colon, it also takes the filter's
// values as they are and inserts no blank itself.
std::string header_value(const Session &session, const std::string &text) {
    return session.leading_space ? " " + text : text;
}

bool add_headers(SMFICTX *ctx, const Session &session, const Outcome &outcome) {
    const Message &message = session.message;
    bool done = true;
    // A status header that came with the message must not pass for ours.
    for (unsigned index = message.forged; index > 0; --index)
        done = smfi_chgheader(ctx, const_cast<char *>(kStatusHeader), static_cast<int>(index),
                              nullptr) == MI_SUCCESS &&
               done;
    std::string status = header_value(session, status_text(outcome));
    done =
        smfi_addheader(ctx, const_cast<char *>(kStatusHeader), status.data()) == MI_SUCCESS && done;
    if (outcome.kind != Kind::Failure && outcome.kind != Kind::Oversize) {
        std::string scanned = header_value(session, "orvamilter " ORVA_VERSION);
        done =
            smfi_addheader(ctx, const_cast<char *>(kScannedHeader), scanned.data()) == MI_SUCCESS &&
            done;
    }
    return done;
}

sfsistat answer(SMFICTX *ctx, const Session &session, const Outcome &outcome, Action action) {
    switch (action) {
    case Action::Accept:
        if (!add_headers(ctx, session, outcome))
            log_line(LOG_WARNING, "the mail server refused a header change");
        return SMFIS_CONTINUE;
    case Action::Discard:
        return SMFIS_DISCARD;
    case Action::Reject: {
        std::string text = "Message refused: ";
        text += status_text(outcome);
        smfi_setreply(ctx, const_cast<char *>("550"), const_cast<char *>("5.7.1"), text.data());
        return SMFIS_REJECT;
    }
    case Action::Tempfail:
        if (outcome.kind == Kind::Oversize)
            smfi_setreply(ctx, const_cast<char *>("452"), const_cast<char *>("4.3.4"),
                          const_cast<char *>("Message too large to be scanned, try again later"));
        else
            smfi_setreply(ctx, const_cast<char *>("451"), const_cast<char *>("4.3.0"),
                          const_cast<char *>("Message could not be scanned, try again later"));
        return SMFIS_TEMPFAIL;
    }
    return SMFIS_TEMPFAIL;
}

std::string queue_id(SMFICTX *ctx) {
    const char *id = smfi_getsymval(ctx, const_cast<char *>("i"));
    std::string text = id != nullptr && *id != '\0' ? id : "NOQUEUE";
    for (char &c : text)
        if (c <= ' ' || c > '~') c = '?';
    return text;
}

// Callbacks.

sfsistat on_negotiate(SMFICTX *ctx, unsigned long actions, unsigned long steps, unsigned long,
                      unsigned long, unsigned long *want_actions, unsigned long *want_steps,
                      unsigned long *want_2, unsigned long *want_3) {
    Session *session = session_of(ctx);
    if (session == nullptr) return SMFIS_ALL_OPTS; // later steps fail without a session
    *want_actions = actions & (SMFIF_ADDHDRS | SMFIF_CHGHDRS);
    // With the blank after the colon given, headers are spooled as received.
    *want_steps = steps & SMFIP_HDR_LEADSPC;
    *want_2 = 0;
    *want_3 = 0;
    session->leading_space = (*want_steps & SMFIP_HDR_LEADSPC) != 0;
    return SMFIS_CONTINUE;
}

sfsistat on_envfrom(SMFICTX *ctx, char **) {
    Session *session = session_of(ctx);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    session->message.reset();
    return SMFIS_CONTINUE;
}

sfsistat on_header(SMFICTX *ctx, char *name, char *value) {
    Session *session = session_of(ctx);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    Message &message = session->message;
    if (strcasecmp(name, kStatusHeader) == 0) ++message.forged;
    std::string line = name;
    line += ':';
    if (!session->leading_space) line += ' ';
    // Folded lines come with a bare LF or with CR LF; the file has CR LF.
    for (const char *c = value; *c != '\0'; ++c) {
        if (*c == '\n' && (c == value || c[-1] != '\r')) line += '\r';
        line += *c;
    }
    line += "\r\n";
    spool_bytes(message, line.data(), line.size());
    return SMFIS_CONTINUE;
}

sfsistat on_eoh(SMFICTX *ctx) {
    Session *session = session_of(ctx);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    spool_bytes(session->message, "\r\n", 2);
    return SMFIS_CONTINUE;
}

sfsistat on_body(SMFICTX *ctx, unsigned char *bytes, size_t count) {
    Session *session = session_of(ctx);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    spool_bytes(session->message, reinterpret_cast<const char *>(bytes), count);
    return SMFIS_CONTINUE;
}

sfsistat on_eom(SMFICTX *ctx) {
    const auto started = std::chrono::steady_clock::now();
    Session *session = session_of(ctx);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    Message &message = session->message;

    Outcome outcome = scan_message(message);
    message.spool.remove();
    Action action = action_for(outcome.kind);
    sfsistat status = answer(ctx, *session, outcome, action);

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::string names = outcome.names.empty() ? "-" : join(outcome.names, ",");
    std::string reason;
    if (!outcome.reason.empty()) reason.append(" reason=\"").append(outcome.reason).append("\"");
    log_line(LOG_INFO, "%s: verdict=%s names=%s action=%s size=%llu time=%.3fs%s",
             queue_id(ctx).c_str(), outcome.verdict, names.c_str(), action_name(action),
             static_cast<unsigned long long>(message.size), seconds, reason.c_str());
    message.reset();
    return status;
}

sfsistat on_abort(SMFICTX *ctx) {
    auto *session = static_cast<Session *>(smfi_getpriv(ctx));
    if (session != nullptr) session->message.reset();
    return SMFIS_CONTINUE;
}

sfsistat on_close(SMFICTX *ctx) {
    auto *session = static_cast<Session *>(smfi_getpriv(ctx));
    if (session != nullptr) {
        smfi_setpriv(ctx, nullptr);
        delete session; // removes a spool file still there: the connection was lost
    }
    return SMFIS_CONTINUE;
}

} // namespace

bool filter_register(const MilterOptions &options, const std::string &folder, gid_t group,
                     ScannerPool &pool) {
    settings = &options;
    spool_folder = &folder;
    spool_group = group;
    scanners = &pool;

    static char name[] = "orvamilter";
    struct smfiDesc description {};
    description.xxfi_name = name;
    description.xxfi_version = SMFI_VERSION;
    description.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGHDRS;
    description.xxfi_envfrom = on_envfrom;
    description.xxfi_header = on_header;
    description.xxfi_eoh = on_eoh;
    description.xxfi_body = on_body;
    description.xxfi_eom = on_eom;
    description.xxfi_abort = on_abort;
    description.xxfi_close = on_close;
    description.xxfi_negotiate = on_negotiate;
    return smfi_register(description) == MI_SUCCESS;
}
