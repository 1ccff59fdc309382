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

// Messages of up to this many bytes go to their spool file in one write.
constexpr size_t kSpoolChunk = 1024 * 1024;
// Recipients named in a log line; the count says how many more there were.
constexpr size_t kLoggedRecipients = 20;

struct Message {
    SpoolFile spool;
    std::string pending;   // bytes not yet written to the spool file
    uint64_t size = 0;     // bytes of headers and body seen
    int spool_error = 0;   // errno of the spool step that failed
    bool oversize = false; // over the size limit: no longer spooled
    unsigned forged = 0;   // status headers that the message brought along
    std::string client;    // the client's address, for the log
    std::string sender;
    std::vector<std::string> recipients; // the first kLoggedRecipients
    size_t recipient_count = 0;
    bool all_allowed = true;    // every recipient so far is on the allow list
    const char *skip = nullptr; // why the message is not scanned
    bool settled = false;       // whether the recipients have been weighed
    bool envelope = false;      // whether the client and sender are known
    bool in_body = false;       // whether the blank line after the headers is spooled

    void reset() {
        spool.remove();
        if (pending.capacity() > kSpoolChunk * 2) std::string().swap(pending);
        pending.clear();
        size = 0;
        spool_error = 0;
        oversize = false;
        forged = 0;
        client.clear();
        sender.clear();
        recipients.clear();
        recipient_count = 0;
        all_allowed = true;
        skip = nullptr;
        settled = false;
        envelope = false;
        in_body = false;
    }
};

// One connection of the mail server; its messages come one after another.
struct Session {
    bool leading_space = false; // header values keep the blank after the colon
    bool quarantine = false;    // the mail server can hold a message
    unsigned long steps = 0;    // the protocol steps agreed on (SMFIP_*)
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

// The answer to a step that the mail server may have agreed to send without
// waiting for one.
sfsistat go_on(const Session &session, unsigned long no_reply) {
    return (session.steps & no_reply) != 0 ? SMFIS_NOREPLY : SMFIS_CONTINUE;
}

// Printable ASCII only, so that a log line stays one line.
std::string printable(const char *text, size_t limit = 256) {
    std::string out;
    for (; text != nullptr && *text != '\0' && out.size() < limit; ++text)
        out += *text > ' ' && *text <= '~' ? *text : '?';
    return out;
}

std::string macro(SMFICTX *ctx, const char *name) {
    const char *value = smfi_getsymval(ctx, const_cast<char *>(name));
    return value != nullptr ? value : "";
}

// Writes what is pending, making the file first; false once a step failed.
bool flush_spool(Message &message) {
    if (message.spool_error == 0 && !message.spool.exists())
        message.spool_error = message.spool.create(*spool_folder, spool_group);
    if (message.spool_error == 0 && !message.pending.empty())
        message.spool_error = message.spool.write(message.pending.data(), message.pending.size());
    message.pending.clear();
    if (message.spool_error != 0) message.spool.remove();
    return message.spool_error == 0;
}

void spool_bytes(Message &message, const char *bytes, size_t count) {
    message.size += count;
    if (message.skip != nullptr || message.oversize || message.spool_error != 0) return;
    if (settings->max_size != 0 && message.size > settings->max_size) {
        // Nothing more of it is kept: the message is not scanned.
        message.oversize = true;
        message.spool.remove();
        message.pending.clear();
        return;
    }
    // Kept in memory and written in one piece at the end, or in large ones.
    message.pending.append(bytes, count);
    if (message.pending.size() >= kSpoolChunk) flush_spool(message);
}

// Once the message's data begins, every recipient is known: a message whose
// recipients are all on the allow list is not scanned.
void settle(Message &message) {
    if (message.settled) return;
    message.settled = true;
    if (message.skip == nullptr && !settings->allowed_recipients.empty() &&
        message.recipient_count > 0 && message.all_allowed)
        message.skip = "allowed recipients";
}

enum class Kind { Clean, Infected, Warning, Suspicion, Failure, Oversize, Skipped };

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
    if (message.skip != nullptr) {
        outcome.kind = Kind::Skipped;
        outcome.verdict = "SKIPPED";
        outcome.reason = message.skip;
        return outcome;
    }
    if (message.oversize) {
        outcome.kind = Kind::Oversize;
        outcome.reason = "over the size limit";
        return outcome;
    }
    // A message without headers or body still gets its (empty) file.
    if (flush_spool(message)) message.spool_error = message.spool.finish();
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
    case Kind::Skipped:
        return Action::Accept;
    }
    return Action::Tempfail;
}

// The status header's value: the verdict and the names, or why the message
// was not scanned.
std::string status_text(const Outcome &outcome) {
    if (outcome.kind == Kind::Oversize) return "UNSCANNED over the size limit";
    if (outcome.kind == Kind::Failure) return "UNSCANNED scanner unavailable";
    if (outcome.kind == Kind::Skipped) return "SKIPPED " + outcome.reason;
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
    if (settings->header_mode == HeaderMode::Off) return true;
    const Message &message = session.message;
    bool done = true;
    // A status header that came with the message must not pass for ours.
    if (settings->header_mode == HeaderMode::Replace) {
        for (unsigned index = message.forged; index > 0; --index)
            done = smfi_chgheader(ctx, const_cast<char *>(kStatusHeader), static_cast<int>(index),
                                  nullptr) == MI_SUCCESS &&
                   done;
    }
    std::string status = header_value(session, status_text(outcome));
    done =
        smfi_addheader(ctx, const_cast<char *>(kStatusHeader), status.data()) == MI_SUCCESS && done;
    if (outcome.kind != Kind::Failure && outcome.kind != Kind::Oversize &&
        outcome.kind != Kind::Skipped) {
        std::string scanned = header_value(session, "orvamilter " ORVA_VERSION);
        done =
            smfi_addheader(ctx, const_cast<char *>(kScannedHeader), scanned.data()) == MI_SUCCESS &&
            done;
    }
    return done;
}

sfsistat defer(SMFICTX *ctx) {
    smfi_setreply(ctx, const_cast<char *>("451"), const_cast<char *>("4.3.0"),
                  const_cast<char *>("Message could not be scanned, try again later"));
    return SMFIS_TEMPFAIL;
}

sfsistat answer(SMFICTX *ctx, const Session &session, const Outcome &outcome, Action action,
                const std::string &queue) {
    switch (action) {
    case Action::Accept:
        if (!add_headers(ctx, session, outcome))
            log_line(LOG_WARNING, "%s: the mail server refused a header change", queue.c_str());
        return SMFIS_CONTINUE;
    case Action::Quarantine: {
        // Held by the mail server with the verdict as the reason; a mail
        // server that cannot hold mail gets it later rather than unchecked.
        std::string reason = status_text(outcome);
        if (!session.quarantine ||
            smfi_quarantine(ctx, const_cast<char *>(reason.c_str())) != MI_SUCCESS) {
            log_line(LOG_ERR, "%s: the mail server cannot quarantine, the message is deferred",
                     queue.c_str());
            return defer(ctx);
        }
        if (!add_headers(ctx, session, outcome))
            log_line(LOG_WARNING, "%s: the mail server refused a header change", queue.c_str());
        return SMFIS_CONTINUE;
    }
    case Action::Discard:
        return SMFIS_DISCARD;
    case Action::Reject: {
        TemplateValues values;
        values.verdict = outcome.verdict;
        values.names = join(outcome.names, " ");
        values.status = status_text(outcome);
        values.queue_id = queue;
        std::string text = expand_template(settings->reject_text, values);
        smfi_setreply(ctx, const_cast<char *>("550"), const_cast<char *>("5.7.1"), text.data());
        return SMFIS_REJECT;
    }
    case Action::Tempfail:
        if (outcome.kind != Kind::Oversize) return defer(ctx);
        smfi_setreply(ctx, const_cast<char *>("452"), const_cast<char *>("4.3.4"),
                      const_cast<char *>("Message too large to be scanned, try again later"));
        return SMFIS_TEMPFAIL;
    }
    return defer(ctx);
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
    unsigned long wanted = 0;
    if (settings->header_mode != HeaderMode::Off) wanted |= SMFIF_ADDHDRS;
    if (settings->header_mode == HeaderMode::Replace) wanted |= SMFIF_CHGHDRS;
    if (settings->quarantines()) wanted |= SMFIF_QUARANTINE;
    *want_actions = actions & wanted;
    // Only the steps the filter uses, and no replies where it has nothing
    // to say: one answer per message, at its end. With the blank after the
    // colon given, headers are spooled as received; the end of the headers
    // shows in the first piece of the body.
    unsigned long wanted_steps = SMFIP_HDR_LEADSPC | SMFIP_NOCONNECT | SMFIP_NOHELO |
                                 SMFIP_NOUNKNOWN | SMFIP_NODATA | SMFIP_NOEOH | SMFIP_NR_MAIL |
                                 SMFIP_NR_RCPT | SMFIP_NR_HDR | SMFIP_NR_EOH | SMFIP_NR_BODY;
    // Where the mail server sends the client's address, the login and the
    // sender with the end of the message, MAIL FROM is left out too.
    if ((actions & SMFIF_SETSYMLIST) != 0 &&
        smfi_setsymlist(ctx, SMFIM_EOM,
                        const_cast<char *>("i {auth_authen} {client_addr} {mail_addr}")) ==
            MI_SUCCESS) {
        *want_actions |= SMFIF_SETSYMLIST;
        wanted_steps |= SMFIP_NOMAIL;
    }
    *want_steps = steps & wanted_steps;
    *want_2 = 0;
    *want_3 = 0;
    session->steps = *want_steps;
    session->leading_space = (*want_steps & SMFIP_HDR_LEADSPC) != 0;
    session->quarantine = (*want_actions & SMFIF_QUARANTINE) != 0;
    return SMFIS_CONTINUE;
}

// The client and the sender, from MAIL FROM or, when the mail server does
// not send that step, from the macros of the end of the message. A login or
// a listed client network means that the message is not scanned.
void take_envelope(SMFICTX *ctx, Message &message, const char *sender) {
    message.envelope = true;
    if (sender != nullptr) {
        message.sender = printable(sender);
    } else {
        message.sender = '<';
        message.sender += printable(macro(ctx, "{mail_addr}").c_str());
        message.sender += '>';
    }
    message.client = printable(macro(ctx, "{client_addr}").c_str(), 64);
    if (settings->skip_authenticated && !macro(ctx, "{auth_authen}").empty())
        message.skip = "authenticated sender";
    else if (!settings->skip_networks.empty() &&
             in_networks(settings->skip_networks, message.client))
        message.skip = "client network";
}

sfsistat on_envfrom(SMFICTX *ctx, char **argv) {
    Session *session = session_of(ctx);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    Message &message = session->message;
    message.reset();
    take_envelope(ctx, message, argv != nullptr && argv[0] != nullptr ? argv[0] : "<>");
    return go_on(*session, SMFIP_NR_MAIL);
}

sfsistat on_envrcpt(SMFICTX *ctx, char **argv) {
    Session *session = session_of(ctx);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    Message &message = session->message;
    const std::string recipient = printable(argv != nullptr ? argv[0] : nullptr);
    ++message.recipient_count;
    if (message.recipients.size() < kLoggedRecipients) message.recipients.push_back(recipient);
    if (!settings->allowed_recipients.empty() &&
        !recipient_allowed(settings->allowed_recipients, recipient))
        message.all_allowed = false;
    return go_on(*session, SMFIP_NR_RCPT);
}

sfsistat on_header(SMFICTX *ctx, char *name, char *value) {
    Session *session = session_of(ctx);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    Message &message = session->message;
    settle(message);
    if (strcasecmp(name, kStatusHeader) == 0) ++message.forged;
    if (message.skip == nullptr) {
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
    }
    return go_on(*session, SMFIP_NR_HDR);
}

// The blank line between the headers and the body, once.
void end_headers(Message &message) {
    if (message.in_body) return;
    message.in_body = true;
    settle(message);
    spool_bytes(message, "\r\n", 2);
}

sfsistat on_eoh(SMFICTX *ctx) {
    Session *session = session_of(ctx);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    end_headers(session->message);
    return go_on(*session, SMFIP_NR_EOH);
}

sfsistat on_body(SMFICTX *ctx, unsigned char *bytes, size_t count) {
    Session *session = session_of(ctx);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    end_headers(session->message);
    spool_bytes(session->message, reinterpret_cast<const char *>(bytes), count);
    return go_on(*session, SMFIP_NR_BODY);
}

// The client, the sender and the recipients, for the log of a message that
// was not found clean.
std::string envelope_text(const Message &message) {
    std::string text = " client=" + (message.client.empty() ? "unknown" : message.client);
    text += " from=" + message.sender + " to=";
    for (size_t index = 0; index < message.recipients.size(); ++index) {
        if (index > 0) text += ',';
        text += message.recipients[index];
    }
    if (message.recipient_count > message.recipients.size())
        text += ",+" + std::to_string(message.recipient_count - message.recipients.size());
    return text;
}

sfsistat on_eom(SMFICTX *ctx) {
    const auto started = std::chrono::steady_clock::now();
    Session *session = session_of(ctx);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    Message &message = session->message;
    if (!message.envelope) take_envelope(ctx, message, nullptr);
    end_headers(message);
    settle(message);

    Outcome outcome = scan_message(message);
    message.spool.recycle();
    Action action = action_for(outcome.kind);
    const std::string queue = queue_id(ctx);
    sfsistat status = answer(ctx, *session, outcome, action, queue);

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::string names = outcome.names.empty() ? "-" : join(outcome.names, ",");
    std::string details;
    if (!outcome.reason.empty()) details.append(" reason=\"").append(outcome.reason).append("\"");
    // A clean message takes one short line; any other says whose it was, and
    // one that was not skipped by a rule is a warning.
    int priority = LOG_INFO;
    if (outcome.kind != Kind::Clean) details += envelope_text(message);
    if (outcome.kind != Kind::Clean && outcome.kind != Kind::Skipped) priority = LOG_WARNING;
    log_line(priority, "%s: verdict=%s names=%s action=%s size=%llu time=%.3fs%s", queue.c_str(),
             outcome.verdict, names.c_str(), action_name(action),
             static_cast<unsigned long long>(message.size), seconds, details.c_str());
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
    description.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_QUARANTINE | SMFIF_SETSYMLIST;
    description.xxfi_envfrom = on_envfrom;
    description.xxfi_envrcpt = on_envrcpt;
    description.xxfi_header = on_header;
    description.xxfi_eoh = on_eoh;
    description.xxfi_body = on_body;
    description.xxfi_eom = on_eom;
    description.xxfi_abort = on_abort;
    description.xxfi_close = on_close;
    description.xxfi_negotiate = on_negotiate;
    return smfi_register(description) == MI_SUCCESS;
}
