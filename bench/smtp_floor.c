/* The floor of one RCPT check done in process: the plainest client there
 * is, blocking sockets and nothing else, doing the engine's dialog with one
 * mail server (connect, EHLO, MAIL FROM:<>, RCPT TO the address, RCPT TO a
 * second address of the same domain, QUIT). No lookup, no parsing beyond
 * the reply code, no output until the end: whatever a real check costs
 * beyond this is its own overhead.
 *
 * usage: verimex_smtp_floor IPV4 PORT HELO ADDRESS OTHER_ADDRESS [ROUNDS]
 * Runs the dialog ROUNDS times (default 1) and prints one line per round:
 * "floor WALL_US CPU_US CODE1 CODE2", the wall and CPU time of that round
 * measured inside the process and the two RCPT replies' codes. Exits 1 on
 * any failure, saying which call failed and its errno. Linked statically,
 * so its own start costs what the do-nothing program's does. */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static long long now_us(clockid_t clock)
{
    struct timespec t;
    clock_gettime(clock, &t);
    return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

static void fail(const char* what)
{
    fprintf(stderr, "verimex_smtp_floor: %s: %s (errno %d)\n", what, strerror(errno), errno);
    exit(1);
}

/* Reads one whole reply (the last line is "NNN " rather than "NNN-") and
 * returns its code. A reply is small: the buffer holds the largest a
 * scripted or stock server sends here. */
static int read_reply(int fd)
{
    char buffer[8192];
    size_t used = 0;
    for (;;) {
        ssize_t n = read(fd, buffer + used, sizeof buffer - 1 - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ECONNRESET;
            fail("read");
        }
        used += (size_t)n;
        buffer[used] = '\0';
        /* The start of the last complete line. */
        if (used < 2 || buffer[used - 1] != '\n')
            continue;
        char* end = buffer + used - 1;
        char* line = end;
        while (line > buffer && line[-1] != '\n')
            --line;
        if (end - line >= 4 && line[3] == ' ')
            return atoi(line);
        if (used == sizeof buffer - 1) {
            errno = EMSGSIZE;
            fail("reply");
        }
    }
}

static void send_line(int fd, const char* text)
{
    size_t length = strlen(text);
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("write");
        text += n;
        length -= (size_t)n;
    }
}

int main(int argc, char** argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: verimex_smtp_floor IPV4 PORT HELO ADDRESS OTHER_ADDRESS [ROUNDS]\n");
        return 2;
    }
    struct sockaddr_in server;
    memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    server.sin_port = htons((unsigned short)atoi(argv[2]));
    if (inet_pton(AF_INET, argv[1], &server.sin_addr) != 1) {
        fprintf(stderr, "verimex_smtp_floor: not an IPv4 address: %s\n", argv[1]);
        return 2;
    }
    const int rounds = argc > 6 ? atoi(argv[6]) : 1;
    char ehlo[512], rcpt1[600], rcpt2[600];
    snprintf(ehlo, sizeof ehlo, "EHLO %s\r\n", argv[3]);
    snprintf(rcpt1, sizeof rcpt1, "RCPT TO:<%s>\r\n", argv[4]);
    snprintf(rcpt2, sizeof rcpt2, "RCPT TO:<%s>\r\n", argv[5]);

    for (int round = 0; round < rounds; ++round) {
        const long long wall0 = now_us(CLOCK_MONOTONIC), cpu0 = now_us(CLOCK_PROCESS_CPUTIME_ID);
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            fail("socket");
        /* As every SMTP client does: a command goes out at once. */
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(fd, (struct sockaddr*)&server, sizeof server) != 0)
            fail("connect");
        read_reply(fd);
        send_line(fd, ehlo);
        read_reply(fd);
        send_line(fd, "MAIL FROM:<>\r\n");
        read_reply(fd);
        send_line(fd, rcpt1);
        const int code1 = read_reply(fd);
        send_line(fd, rcpt2);
        const int code2 = read_reply(fd);
        send_line(fd, "QUIT\r\n");
        read_reply(fd);
        close(fd);
        printf("floor %lld %lld %d %d\n", now_us(CLOCK_MONOTONIC) - wall0,
               now_us(CLOCK_PROCESS_CPUTIME_ID) - cpu0, code1, code2);
    }
    return 0;
}
