// The library's sockets are read ahead in chunks (paho/read_ahead.c); this link sends
// recv, poll and close through it as the library's are. A reader that reads in any
// size must get the stream's bytes in order, be told by poll that kept bytes are there
// without other sockets being forgotten, and see the end of the stream only after them;
// a closed socket's kept bytes must not reach the next socket given its number. A held
// socket (the library's TLS connection between its handshake and its first write) is not
// told readable, and a poll that waits past it must end when its hold does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

extern "C" void tarvo_hold_reading(int socket);
extern "C" void tarvo_release_reading(int socket);

namespace {

struct SocketPair {
    int reader = -1;
    int writer = -1;
    SocketPair() {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        reader = ends[0];
        writer = ends[1];
        // The library's sockets do not block.
        EXPECT_EQ(fcntl(reader, F_SETFL, O_NONBLOCK), 0);
    }
    ~SocketPair() {
        closeWriter();
        if (reader >= 0) close(reader);
    }
    void write(const std::vector<char>& bytes) const {
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = send(writer, bytes.data() + sent, bytes.size() - sent, 0);
            ASSERT_GT(n, 0);
            sent += static_cast<std::size_t>(n);
        }
    }
    void closeWriter() {
        if (writer >= 0) close(writer);
        writer = -1;
    }
    bool readableNow() const {
        pollfd entry{reader, POLLIN, 0};
        return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN);
    }
};

std::vector<char> pattern(std::size_t length) {
    std::vector<char> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 7 % 251);
    return bytes;
}

// Read sizes, taken in turn: one byte at a time (the packet's first byte and length), what
// is left of a chunk, a chunk exactly, more than one, and the library's own mix.
class ReadAhead : public testing::TestWithParam<std::vector<std::size_t>> {};

TEST_P(ReadAhead, GivesTheStreamInOrderAndItsEndAfterTheKeptBytes) {
    // More than several chunks, less than the socket pair holds, so all of it is written
    // before the first read and the kernel has nothing more once the rest is kept.
    const std::vector<char> sent = pattern(70001);
    SocketPair pair;
    pair.write(sent);

    const std::vector<std::size_t>& sizes = GetParam();
    std::vector<char> received;
    for (std::size_t turn = 0; received.size() < sent.size(); ++turn) {
        ASSERT_TRUE(pair.readableNow()) << "bytes left unread at " << received.size();
        std::vector<char> buffer(sizes[turn % sizes.size()]);
        const ssize_t n = recv(pair.reader, buffer.data(), buffer.size(), 0);
        // As much as asked for while the stream has it, kept or not, as a socket gives.
        ASSERT_EQ(n, static_cast<ssize_t>(std::min(buffer.size(), sent.size() - received.size())))
            << "at " << received.size();
        received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
    EXPECT_EQ(received, sent);

    char byte;
    EXPECT_EQ(recv(pair.reader, &byte, 1, 0), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_FALSE(pair.readableNow());
    pair.closeWriter();
    EXPECT_TRUE(pair.readableNow());
    EXPECT_EQ(recv(pair.reader, &byte, 1, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadAhead,
                         testing::Values(std::vector<std::size_t>{1}, std::vector<std::size_t>{16383},
                                         std::vector<std::size_t>{16384}, std::vector<std::size_t>{40000},
                                         std::vector<std::size_t>{1, 1, 300}, std::vector<std::size_t>{1, 1, 20000}));

TEST(ReadAheadClose, ForgetsTheKeptBytesOfAClosedSocket) {
    int closedNumber;
    {
        SocketPair first;
        first.write(pattern(1000));
        char byte;
        ASSERT_EQ(recv(first.reader, &byte, 1, 0), 1);  // the other 999 are kept
        closedNumber = first.reader;
        close(first.reader);
        first.reader = -1;
    }
    SocketPair second;
    ASSERT_EQ(second.reader, closedNumber) << "the kernel gave the closed socket's number to another";
    EXPECT_FALSE(second.readableNow());
    second.write({'x'});
    char byte;
    ASSERT_EQ(recv(second.reader, &byte, 1, 0), 1);
    EXPECT_EQ(byte, 'x');
}

// A socket that floods in has bytes kept at every poll, as its chunks end mid-packet;
// another socket's bytes must still be told, within a bound.
TEST(ReadAheadPoll, TellsOtherSocketsWhileOneKeepsBytes) {
    SocketPair flooding;
    SocketPair quiet;
    flooding.write(pattern(70001));
    quiet.write({'x'});
    char byte;
    for (int polls = 0; polls < 1000; ++polls) {
        ASSERT_EQ(recv(flooding.reader, &byte, 1, 0), 1);
        pollfd entries[2] = {{flooding.reader, POLLIN, 0}, {quiet.reader, POLLIN, 0}};
        const int ready = poll(entries, 2, 0);
        ASSERT_EQ(ready, (entries[1].revents & POLLIN) ? 2 : 1);
        ASSERT_TRUE(entries[0].revents & POLLIN);
        if (entries[1].revents & POLLIN) {
            return;
        }
    }
    FAIL() << "the quiet socket was not told in 1,000 polls";
}

// A poll that waits while only a held socket is readable tells another socket's bytes,
// and the held one's once the hold ends, both long before its timeout; a close ends a hold.
TEST(ReadAheadHold, WaitsPastAHeldSocketUntilItsHoldEnds) {
    using Clock = std::chrono::steady_clock;
    constexpr int kTimeoutMs = 20000;
    SocketPair held;
    SocketPair other;
    held.write({'h'});
    tarvo_hold_reading(held.reader);
    EXPECT_FALSE(held.readableNow());

    pollfd entries[2] = {{held.reader, POLLIN, 0}, {other.reader, POLLIN, 0}};
    std::thread writer([&other] { other.write({'o'}); });
    auto started = Clock::now();
    ASSERT_EQ(poll(entries, 2, kTimeoutMs), 1);
    writer.join();
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(kTimeoutMs / 2));
    EXPECT_EQ(entries[0].revents, 0);
    EXPECT_TRUE(entries[1].revents & POLLIN);
    char byte;
    ASSERT_EQ(recv(other.reader, &byte, 1, 0), 1);

    std::thread releaser([&held] { tarvo_release_reading(held.reader); });
    started = Clock::now();
    ASSERT_EQ(poll(entries, 2, kTimeoutMs), 1);
    releaser.join();
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(kTimeoutMs / 2));
    EXPECT_TRUE(entries[0].revents & POLLIN);
    EXPECT_EQ(entries[1].revents, 0);

    tarvo_hold_reading(other.reader);
    const int closedNumber = other.reader;
    close(other.reader);
    other.reader = -1;
    SocketPair next;
    ASSERT_EQ(next.reader, closedNumber) << "the kernel gave the closed socket's number to another";
    next.write({'n'});
    EXPECT_TRUE(next.readableNow());
}

}  // namespace
