// Bytes per second read through a socket stream from a loopback peer that
// keeps the connection full.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "transport/aStreamsocket.h"
#include "transport/unix_thread.h"

namespace {

struct Flood {
    Flood()
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 1);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        writer = std::thread([this] {
            int conn = accept(listener, nullptr, nullptr);
            std::vector<char> block(65536, 0x5A);
            while (!stop && conn >= 0) {
                if (send(conn, block.data(), block.size(), MSG_NOSIGNAL) <= 0)
                    break;
            }
            if (conn >= 0)
                close(conn);
        });
    }
    ~Flood()
    {
        stop = true;
        writer.join();
        close(listener);
    }
    int listener;
    uint16_t port;
    std::atomic<bool> stop{false};
    std::thread writer;
};

void BM_SocketStreamRead(benchmark::State& state)
{
    Flood flood;
    aStreamRef stream = nullptr;
    if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), flood.port, &stream) != aErrNone) {
        state.SkipWithError("no connection");
        return;
    }
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> buf(chunk);
    int64_t bytes = 0;
    for (auto _ : state) {
        aErr err = aStream_Read(stream, buf.data(), chunk);
        if (err == aErrNone)
            bytes += chunk;
        else if (err == aErrNotReady)
            aThread_Yield();
        else {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(bytes);
    flood.stop = true;
    aStream_Destroy(&stream); // resets the connection, which ends the writer
}
// Wall-clock rates: the reader also waits for the peer, not only computes.
BENCHMARK(BM_SocketStreamRead)->Arg(1)->Arg(64)->Arg(1024)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
