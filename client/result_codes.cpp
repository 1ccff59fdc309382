// The text of every result code, for the messages of the library's callers.
#include "client/result_codes.h"

#include <cstddef>

namespace {

struct CodeText {
    ResultCode code;
    const char *text;
};

// One row per code of result_codes.h. The texts say what happened, in words
// that read well after "scan failed: " or "could not connect: ".
constexpr CodeText kCodeTexts[] = {
    {RC_OK, "success"},
    {RC_ENV_REFUSED, "the server refused the ENV command"},
    {RC_SCAN_525, "the server ended the scan with 525"},
    {RC_COMMAND_TOO_LONG, "the command does not fit the send buffer"},
    {RC_BAD_ARGUMENT, "bad argument"},
    {RC_NO_MEMORY, "out of memory"},
    {RC_BUSY, "another command is in progress"},
    {RC_CONNECT_FAILED, "could not connect to the server"},
    {RC_TIMEOUT, "timed out"},
    {RC_READ_FAILED, "the server closed the connection"},
    {RC_WRITE_FAILED, "could not send to the server"},
    {RC_PROTOCOL_ERROR, "the server's reply was not understood"},
    {RC_VERSION_MISMATCH, "the server speaks another protocol version"},
    {RC_SERVER_OVERLOADED, "the server is overloaded"},
    {RC_COPY_READ_FAILED, "a file could not be read"},
    {RC_CHECKSUM_MISMATCH, "the cured copy does not match its digest or could not be stored"},
    {RC_NO_TEMP_FILE, "no temporary file could hold the cured copy"},
    {RC_SCAN_532, "the server ended the scan with 532"},
    {RC_CLIENT_NOT_ALLOWED, "this client is not allowed by the server"},
    {RC_ENV_202, "the server answered the ENV command with 202"},
};

} // namespace

extern "C" const char *result_code_text(ResultCode code) {
    for (const CodeText &row : kCodeTexts)
        if (row.code == code) return row.text;
    return "unknown result code";
}
