// The TLS stream's own throughput over loopback, beside plain sendfile and
// recv on the same connection kind in the same run: downloads read from a
// file and written with TLS from buffers of several sizes (the size
// TlsStream::sendFile uses among them), uploads read with TLS into a file.
// Usage: osprel_tls_stream_bench CERT KEY WORK_DIR  (BENCH_FILE_MIB, BENCH_ROUNDS)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tls/TlsContext.h"
#include "tls/TlsSessionBinding.h"
#include "tls/TlsStream.h"

using namespace osprel;
using Clock = std::chrono::steady_clock;

namespace {

size_t g_fileBytes;
std::string g_file;
std::string g_upload;
const TlsContext *g_context;
std::string g_cipher;

void pin(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

std::pair<int, int> connectedPair() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(listener, 1) != 0) exit(1);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(client, reinterpret_cast<sockaddr *>(&address), length) != 0) exit(1);
    int server = accept(listener, nullptr, nullptr);
    close(listener);
    return {server, client};
}

// Runs server(fd) on CPU 1 and client(fd) on CPU 0; returns MiB/s.
double timed(const std::function<void(int)> &server, const std::function<void(int)> &client) {
    auto [serverFd, clientFd] = connectedPair();
    Clock::time_point started = Clock::now();
    std::thread clientThread([&, fd = clientFd] {
        pin(0);
        client(fd);
        close(fd);
    });
    pin(1);
    server(serverFd);
    close(serverFd);
    clientThread.join();
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return static_cast<double>(g_fileBytes) / seconds / (1 << 20);
}

SSL *clientSsl(int fd) {
    static SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    SSL *ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) exit(1);
    g_cipher = std::string(SSL_get_version(ssl)) + ", " + SSL_get_cipher_name(ssl);
    return ssl;
}

void tlsReader(int fd) {
    SSL *ssl = clientSsl(fd);
    std::vector<char> buffer(256 << 10);
    while (SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size())) > 0) {
    }
    SSL_free(ssl);
}

void tlsWriter(int fd) {
    SSL *ssl = clientSsl(fd);
    std::vector<char> buffer(256 << 10, 'u');
    for (size_t left = g_fileBytes; left > 0;) {
        int n = SSL_write(ssl, buffer.data(), static_cast<int>(std::min(left, buffer.size())));
        if (n <= 0) exit(1);
        left -= static_cast<size_t>(n);
    }
    SSL_shutdown(ssl);
    SSL_free(ssl);
}

auto deadline() { return Clock::now() + std::chrono::seconds(60); }

// Downloads: pread into a buffer of `chunk` bytes, write with TLS; chunk 0
// goes through TlsStream::sendFile itself.
void tlsSender(int fd, size_t chunk) {
    auto binding = TlsSessionBinding::create();
    auto stream = TlsStream::open(*g_context, fd, *binding, TlsStream::Role::kData);
    if (stream->handshake(deadline()) != TlsResult::kOk) exit(1);
    int file = open(g_file.c_str(), O_RDONLY);
    off_t offset = 0;
    std::vector<char> buffer(chunk);
    for (;;) {
        size_t sent = 0;
        if (chunk == 0) {
            if (stream->sendFile(file, &offset, SIZE_MAX, &sent, deadline()) != TlsResult::kOk) exit(1);
        } else {
            ssize_t n = pread(file, buffer.data(), chunk, offset);
            if (n > 0 && stream->writeAll(buffer.data(), static_cast<size_t>(n), deadline()) != TlsResult::kOk) exit(1);
            sent = n > 0 ? static_cast<size_t>(n) : 0;
            offset += static_cast<off_t>(sent);
        }
        if (sent == 0) break;
    }
    stream->close(deadline());
    close(file);
}

void tlsReceiver(int fd) {
    auto binding = TlsSessionBinding::create();
    auto stream = TlsStream::open(*g_context, fd, *binding, TlsStream::Role::kData);
    if (stream->handshake(deadline()) != TlsResult::kOk) exit(1);
    int file = open(g_upload.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char> buffer(256 << 10);
    size_t got = 0;
    while (stream->read(buffer.data(), buffer.size(), &got, deadline()) == TlsResult::kOk)
        if (write(file, buffer.data(), got) != static_cast<ssize_t>(got)) exit(1);
    close(file);
}

void plainSender(int fd) {
    int file = open(g_file.c_str(), O_RDONLY);
    off_t offset = 0;
    while (sendfile(fd, file, &offset, 4 << 20) > 0) {
    }
    close(file);
}

void plainReader(int fd) {
    std::vector<char> buffer(256 << 10);
    while (recv(fd, buffer.data(), buffer.size(), 0) > 0) {
    }
}

void plainWriter(int fd) {
    std::vector<char> buffer(256 << 10, 'u');
    for (size_t left = g_fileBytes; left > 0;) {
        ssize_t n = send(fd, buffer.data(), std::min(left, buffer.size()), 0);
        if (n <= 0) exit(1);
        left -= static_cast<size_t>(n);
    }
}

void plainReceiver(int fd) {
    int file = open(g_upload.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char> buffer(256 << 10);
    ssize_t n;
    while ((n = recv(fd, buffer.data(), buffer.size(), 0)) > 0)
        if (write(file, buffer.data(), static_cast<size_t>(n)) != n) exit(1);
    close(file);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s CERT KEY WORK_DIR\n", argv[0]);
        return 2;
    }
    const char *mib = getenv("BENCH_FILE_MIB");
    const char *roundsText = getenv("BENCH_ROUNDS");
    g_fileBytes = static_cast<size_t>(mib ? atoi(mib) : 512) << 20;
    int rounds = roundsText ? atoi(roundsText) : 5;
    TlsSettings settings;
    settings.mode = TlsMode::kAllowed;
    settings.certificatePath = argv[1];
    settings.keyPath = argv[2];
    std::string error;
    auto context = TlsContext::load(settings, &error);
    if (!context) {
        fprintf(stderr, "tls_stream_bench: %s\n", error.c_str());
        return 1;
    }
    g_context = context.get();
    g_file = std::string(argv[3]) + "/tls-bench.bin";
    g_upload = std::string(argv[3]) + "/tls-bench-upload.bin";
    {
        int file = open(g_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(rand());
        for (size_t done = 0; done < g_fileBytes; done += block.size())
            if (write(file, block.data(), block.size()) != static_cast<ssize_t>(block.size())) return 1;
        close(file);
    }

    struct Case {
        const char *name;
        std::function<void(int)> sender;
        std::function<void(int)> receiver;
        double download = 0;
        double upload = 0;
    };
    std::vector<Case> cases = {
        {"plain: sendfile / recv (baseline)", plainSender, plainReceiver},
        {"TLS: 16 KiB writes", [](int fd) { tlsSender(fd, 16 << 10); }, tlsReceiver},
        {"TLS: 64 KiB writes", [](int fd) { tlsSender(fd, 64 << 10); }, tlsReceiver},
        {"TLS: TlsStream::sendFile (256 KiB)", [](int fd) { tlsSender(fd, 0); }, tlsReceiver},
        {"TLS: 1 MiB writes", [](int fd) { tlsSender(fd, 1 << 20); }, tlsReceiver},
    };
    for (int round = 0; round < rounds; ++round) {
        for (Case &each : cases) {
            bool tls = each.name[0] == 'T';
            each.download = std::max(each.download, timed(each.sender, tls ? tlsReader : plainReader));
            each.upload = std::max(each.upload, timed(each.receiver, tls ? tlsWriter : plainWriter));
        }
    }
    unlink(g_file.c_str());
    unlink(g_upload.c_str());
    printf("TLS stream over loopback (%s), %zu MiB, best of %d alternating rounds; server on CPU 1, client on CPU 0\n",
           g_cipher.c_str(), g_fileBytes >> 20, rounds);
    printf("%-36s %16s %16s\n", "path", "download MiB/s", "upload MiB/s");
    for (const Case &each : cases) printf("%-36s %16.0f %16.0f\n", each.name, each.download, each.upload);
    printf("%-36s %15.2fx %15.2fx\n", "TLS sendFile / plain", cases[3].download / cases[0].download,
           cases[3].upload / cases[0].upload);
    return 0;
}
