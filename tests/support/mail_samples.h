// Real-looking mail for tests: base64 text as mail programs write it, and a
// message with one attachment.
#pragma once

#include <cstdint>
#include <string>

// The bytes in base64, in lines of 76 characters, each ended by CR LF.
inline std::string base64_lines(const std::string &bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t at = 0; at < bytes.size(); at += 3) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) << 16;
        if (at + 1 < bytes.size())
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
        if (at + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[at + 2]);
        text += alphabet[(group >> 18) & 63];
        text += alphabet[(group >> 12) & 63];
        text += at + 1 < bytes.size() ? alphabet[(group >> 6) & 63] : '=';
        text += at + 2 < bytes.size() ? alphabet[group & 63] : '=';
    }
    std::string lines;
    for (size_t at = 0; at < text.size(); at += 76)
        lines += text.substr(at, 76) + "\r\n";
    return lines;
}

// The boundary of mail_body_with_attachment, for the Content-Type header.
constexpr char kMailBoundary[] = "b1";

// A multipart body: a text part (with a "-- " signature line) and the
// attachment under the given encoding header, base64-encoded.
inline std::string mail_body_with_attachment(const std::string &attachment,
                                             const std::string &encoding_header) {
    return "--b1\r\nContent-Type: text/plain\r\n\r\nSee the attachment.\r\n-- \r\nA.\r\n"
           "--b1\r\nContent-Type: application/octet-stream\r\n"
           "Content-Disposition: attachment; filename=\"report.pdf\"\r\n" +
           encoding_header + "\r\n\r\n" + base64_lines(attachment) + "--b1--\r\n";
}
