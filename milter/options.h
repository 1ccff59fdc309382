// The settings of orvamilter, read from its command line, and its help text.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "milter/policy.h"

// What becomes of a message. Each class of outcome allows some of them.
enum class Action { Accept, Reject, Discard, Tempfail, Quarantine };

// What the filter does with its own headers: replaces any that a message
// brought along, adds its own beside them, or leaves headers alone.
enum class HeaderMode { Replace, Add, Off };

struct MilterOptions {
    std::string listen;                                     // -l, the mail-filter socket
    std::string server = "/run/orvaserver/orvaserver.sock"; // -s, a server list
    std::string spool_dir = "/var/spool/orvamilter";        // -d
    std::string spool_group;                                // -g, empty: the process's group
    uint64_t max_size = 25u * 1024 * 1024;                  // -m, 0: no limit
    uint32_t scan_timeout = 30;                             // -t, seconds a message's scan
    uint32_t connect_timeout = 5;                           // -T, seconds a connect
    uint32_t revive = 30;                                   // -R, seconds a failed server rests
    Action infected = Action::Reject;                       // -a infected=
    Action warning = Action::Accept;                        // -a warning=
    Action suspicion = Action::Accept;                      // -a suspicion=
    Action failure = Action::Tempfail;                      // -a failure=
    Action oversize = Action::Accept;                       // -a oversize=
    bool foreground = false;                                // -f
    bool log_stderr = false;                                // -e
    std::string pid_file;                                   // -P
    int socket_mode = -1;                                   // -M, -1: as the umask makes it
    std::string socket_group;                               // -G, empty: the process's group
    std::string run_as;                                     // -u USER[:GROUP], empty: stay
    bool check_only = false;                                // -C
    std::string reject_text = "Message refused: %s";        // -r, a template
    HeaderMode header_mode = HeaderMode::Replace;           // -H
    bool skip_authenticated = false;                        // -A
    std::vector<Network> skip_networks;                     // -N
    std::vector<std::string> allowed_recipients; // -W, as parse_recipient_rule keeps them

    // Whether some class is quarantined, so that the filter asks for it.
    bool quarantines() const;
};

enum class Parsed { Run, Help, Version, Error };

// Reads the command line into `options`; on Error, `error` says why.
Parsed parse_options(int argc, char **argv, MilterOptions &options, std::string &error);

const char *usage_text();

// "accept", "reject", "discard", "tempfail" or "quarantine".
const char *action_name(Action action);
