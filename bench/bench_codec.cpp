// Receive throughput of the frame codec over a stream of 260-byte frames,
// and heap allocations per received frame (counted by replacing operator new).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "link/binaryprotocol.h"

static std::atomic<long> g_allocations {0};

void *operator new(std::size_t size)
{
    ++g_allocations;
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size)
{
    ++g_allocations;
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete[](void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept
{
    std::free(p);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int frameSize = 260;
    const int framesPerChunk = 16;
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;

    // One chunk of 16 frames: 5 header bytes, status, code, 251 data bytes, CRC.
    std::vector<uint8_t> chunk;
    for (int f = 0; f < framesPerChunk; ++f) {
        const uint16_t L = frameSize - 5;
        uint8_t frame[frameSize];
        frame[0] = 0xF5;
        frame[1] = uint8_t(L & 0xFF);
        frame[2] = uint8_t(L >> 8);
        frame[3] = uint8_t(~frame[1]);
        frame[4] = uint8_t(~frame[2]);
        frame[5] = 0x00;
        frame[6] = 0xE1;
        for (int i = 7; i < frameSize - 2; ++i)
            frame[i] = uint8_t(i * 7 + f);
        const uint16_t crc = BinaryProtocol::crc16(frame + 5, frameSize - 7);
        frame[frameSize - 2] = uint8_t(crc & 0xFF);
        frame[frameSize - 1] = uint8_t(crc >> 8);
        chunk.insert(chunk.end(), frame, frame + frameSize);
    }

    BinaryProtocol codec;
    long frames = 0;
    QObject::connect(&codec, &BinaryProtocol::frameComplete,
                     [&frames](uint8_t *, size_t, uint8_t *, size_t) { ++frames; });

    // Warm up (first emission may set up connection bookkeeping).
    codec.receiveBytes(chunk.data(), chunk.size());
    frames = 0;

    const long allocBefore = g_allocations.load();
    QElapsedTimer timer;
    timer.start();
    for (int r = 0; r < rounds; ++r)
        codec.receiveBytes(chunk.data(), chunk.size());
    const qint64 ns = timer.nsecsElapsed();
    const long allocations = g_allocations.load() - allocBefore;

    const double seconds = double(ns) / 1e9;
    const double bytes = double(chunk.size()) * rounds;
    std::printf("frames received       %ld (of %d bytes each)\n", frames, frameSize);
    std::printf("receive throughput    %.1f MB/s\n", bytes / seconds / 1e6);
    std::printf("frames per second     %.0f\n", double(frames) / seconds);
    std::printf("heap allocations      %ld in total, %.3f per frame\n", allocations,
                frames ? double(allocations) / double(frames) : 0.0);
    return frames == long(rounds) * framesPerChunk ? 0 : 1;
}
