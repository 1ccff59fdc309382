/* The reference client of the benchmarks: the least work a client of the
 * scanning server can do, written plainly in C. It resolves each operand,
 * checks it with stat and access, connects once, reads the greeting, sends
 * one SCAN line per file, reads the reply and prints the verdict line, then
 * sends QUIT. A 312 cured copy is received the straightforward way: 8 KiB
 * reads into a temporary file with MD5 on the way, then an 8 KiB copy over
 * the scanned file.
 *
 * With -t it talks TCP to 127.0.0.1:PORT instead: each file is digested with
 * 8 KiB reads, announced in a NETSCAN line with its size and digest, and after
 * the server's 310 uploaded with 8 KiB reads and writes.
 *
 * Usage: floor_client [-u] SOCKET FILE...
 *        floor_client -t PORT FILE... */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "digest/md5.h"
#include "digest/md5_text.h"

#define CHUNK 8192

static int sock = -1;
static char buf[CHUNK];
static size_t held;

/* Reads one reply line into `line`; returns its length or -1. */
static long read_line(char *line, size_t size) {
    for (;;) {
        char *end = memmem(buf, held, "\r\n", 2);
        if (end != NULL) {
            size_t length = (size_t)(end - buf);
            if (length >= size) return -1;
            memcpy(line, buf, length);
            line[length] = '\0';
            held -= length + 2;
            memmove(buf, end + 2, held);
            return (long)length;
        }
        if (held == sizeof buf) return -1;
        ssize_t got = read(sock, buf + held, sizeof buf - held);
        if (got <= 0) return -1;
        held += (size_t)got;
    }
}

static int write_all(int fd, const char *bytes, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n <= 0) return -1;
        bytes += n;
        length -= (size_t)n;
    }
    return 0;
}

/* Receives a cured body of `size` bytes and writes it over `path` when its
 * digest matches. */
static int receive_cured(const char *path, long size, const char *digest) {
    char name[64];
    snprintf(name, sizeof name, "/tmp/floor%x%04x.tmp", (unsigned)getpid(), (unsigned)rand());
    const char *dir = getenv("TMP");
    char full[4096];
    if (dir != NULL) {
        snprintf(full, sizeof full, "%s%s", dir, name + 4);
    } else {
        snprintf(full, sizeof full, "%s", name);
    }
    FILE *temp = fopen(full, "w+b");
    if (temp == NULL) return -1;
    Md5Context md5;
    md5_init(&md5);
    long left = size;
    /* Bytes already read behind the 312 line come first. */
    size_t first = held < (size_t)left ? held : (size_t)left;
    md5_update(&md5, buf, (uint32_t)first);
    fwrite(buf, 1, first, temp);
    held -= first;
    memmove(buf, buf + first, held);
    left -= (long)first;
    char chunk[CHUNK];
    while (left > 0) {
        ssize_t got = read(sock, chunk, left < CHUNK ? (size_t)left : CHUNK);
        if (got <= 0) break;
        md5_update(&md5, chunk, (uint32_t)got);
        fwrite(chunk, 1, (size_t)got, temp);
        left -= got;
    }
    md5_final(&md5);
    char hex[MD5_HEX_LENGTH + 1];
    md5_digest_text(md5.digest, hex);
    int ok = left == 0 && strcmp(hex, digest) == 0;
    if (ok) {
        FILE *out = fopen(path, "wb");
        rewind(temp);
        size_t n;
        while (out != NULL && (n = fread(chunk, 1, CHUNK, temp)) > 0)
            fwrite(chunk, 1, n, out);
        if (out == NULL || fclose(out) != 0) ok = 0;
    }
    fclose(temp);
    unlink(full);
    return ok ? 0 : -1;
}

/* Announces the open file `fd` of `size` bytes with its digest and uploads
 * it when the server asks with 310. Returns the final reply code, or -1. */
static int netscan(int fd, long size) {
    char chunk[CHUNK];
    Md5Context md5;
    md5_init(&md5);
    ssize_t got;
    while ((got = read(fd, chunk, CHUNK)) > 0)
        md5_update(&md5, chunk, (uint32_t)got);
    if (got < 0) return -1;
    md5_final(&md5);
    char digest[MD5_HEX_LENGTH + 1];
    md5_digest_text(md5.digest, digest);
    char command[128];
    int length =
        snprintf(command, sizeof command, "NETSCAN xmQPRSTUWabcdefghi %ld %s\r\n", size, digest);
    if (write_all(sock, command, (size_t)length) != 0) return -1;

    char line[CHUNK];
    for (;;) {
        if (read_line(line, sizeof line) < 0) return -1;
        if (line[3] != ' ') continue;
        if (atoi(line) != 310) return atoi(line);
        if (lseek(fd, 0, SEEK_SET) != 0) return -1;
        while ((got = read(fd, chunk, CHUNK)) > 0)
            if (write_all(sock, chunk, (size_t)got) != 0) return -1;
        if (got < 0) return -1;
    }
}

static const char *verdict(int code) {
    switch (code) {
    case 220:
        return "OK";
    case 230:
        return "INFECTED";
    case 221:
        return "CURED";
    case 231:
        return "CUREFAILED";
    case 233:
        return "WARNING";
    case 232:
        return "SUSPICION";
    case 240:
        return "PROTECTED";
    case 234:
        return "CORRUPTED";
    case 241:
        return "ERROR";
    default:
        return NULL;
    }
}

static int connect_unix(const char *path) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0 && connect(fd, (struct sockaddr *)&address, sizeof address) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

static int connect_tcp(const char *port) {
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)atoi(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0 && connect(fd, (struct sockaddr *)&address, sizeof address) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

int main(int argc, char **argv) {
    int cure = argc > 1 && strcmp(argv[1], "-u") == 0;
    int tcp = argc > 1 && strcmp(argv[1], "-t") == 0;
    int first = cure || tcp ? 2 : 1;
    if (argc < first + 2) {
        fprintf(stderr, "usage: floor_client [-u] SOCKET FILE...\n"
                        "       floor_client -t PORT FILE...\n");
        return 1;
    }
    sock = tcp ? connect_tcp(argv[first]) : connect_unix(argv[first]);
    if (sock < 0) {
        fprintf(stderr, "cannot connect\n");
        return 1;
    }
    char line[CHUNK];
    if (read_line(line, sizeof line) < 0 || strncmp(line, "201", 3) != 0) return 1;

    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == NULL) return 1;
    int status = 0;
    for (int i = first + 1; i < argc; ++i) {
        char path[CHUNK];
        if (argv[i][0] == '/')
            snprintf(path, sizeof path, "%s", argv[i]);
        else
            snprintf(path, sizeof path, "%s/%s", cwd, argv[i]);
        struct stat info;
        if (stat(path, &info) != 0 || access(path, R_OK) != 0 || !S_ISREG(info.st_mode)) {
            printf("%s ERROR\n", path);
            status = 7;
            continue;
        }
        if (tcp) {
            int fd = open(path, O_RDONLY);
            int code = fd < 0 ? -1 : netscan(fd, (long)info.st_size);
            if (fd >= 0) close(fd);
            if (code < 0) return 1;
            printf("%s %s\n", argv[i], verdict(code) != NULL ? verdict(code) : "ERROR");
            status = 0;
            continue;
        }
        char command[CHUNK + 64];
        int length = snprintf(command, sizeof command, "SCAN xmQPRSTUWabcdefghi%s %s\r\n",
                              cure ? "l" : "", path);
        if (write_all(sock, command, (size_t)length) != 0) return 1;
        const char *name = NULL;
        for (;;) {
            if (read_line(line, sizeof line) < 0) return 1;
            int code = atoi(line);
            if (line[3] == ' ') {
                name = verdict(code);
                break;
            }
            long size;
            char digest[33];
            if (code == 312 && sscanf(line + 4, "%ld %32s", &size, digest) == 2 &&
                receive_cured(path, size, digest) != 0)
                name = "ERROR";
        }
        printf("%s %s\n", argv[i], name != NULL ? name : "ERROR");
        status = 0;
    }
    write_all(sock, "QUIT\r\n", 6);
    read_line(line, sizeof line);
    close(sock);
    return status;
}
