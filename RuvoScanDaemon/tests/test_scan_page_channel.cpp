// A network scan's data blocks taken straight from the record channel into
// the page files: the pages hold the channel's bytes exactly, the records say
// what each block brought, and a channel that dies inside a block leaves the
// page as it was before that block.
#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "scan_pages.h"
#include "scan_record_loop.h"
#include "scan_test_support.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace {

// Blocks of a channel: a begin-of-page marker (length 0) or `length` bytes
// that wait in the channel.
struct Block {
    int32_t status;
    size_t length;
};

class ChannelSource : public ScanRecordSource {
public:
    ChannelSource(int channel, std::deque<Block> blocks) : m_channel(channel), m_blocks(std::move(blocks)) {}
    ScanRecordRead next() override
    {
        ScanRecordRead read;
        if (m_blocks.empty()) {
            read.result = ruvo_wire::RESULT_END_OF_SCAN;
            read.status = SCAN_STATUS_END_OF_DATA;
            return read;
        }
        Block block = m_blocks.front();
        m_blocks.pop_front();
        read.status = block.status;
        if (block.length > 0) {
            read.channel = m_channel;
            read.length = block.length;
        }
        return read;
    }
    void channelFailed() override { ++failures; }
    int failures = 0;

private:
    int m_channel;
    std::deque<Block> m_blocks;
};

std::string pattern(size_t length, unsigned seed)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 31 + seed * 7 + i / 251) & 0xFF);
    return bytes;
}

using scan_test_support::readFile;

std::string scratchDirectory()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pathTemplate = std::string(tmp && *tmp ? tmp : "/tmp") + "/page-channel-XXXXXX";
    std::vector<char> path(pathTemplate.begin(), pathTemplate.end());
    path.push_back('\0');
    return mkdtemp(path.data()) ? std::string(path.data()) : std::string();
}

struct Run {
    ScanLoopOutcome outcome;
    std::vector<TCPRecordRes> records;
    int channelFailures = 0;
};

// Runs the loop over `blocks` while a writer thread sends `stream` into the
// channel and then closes it.
Run runOver(PageFiles &pages, std::deque<Block> blocks, const std::string &stream)
{
    int channel[2];
    int client[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel);
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, client);
    std::thread writer([&] {
        size_t done = 0;
        while (done < stream.size()) {
            ssize_t sent = send(channel[1], stream.data() + done, stream.size() - done, MSG_NOSIGNAL);
            if (sent <= 0)
                break;
            done += static_cast<size_t>(sent);
        }
        close(channel[1]);
    });
    std::vector<TCPRecordRes> records;
    std::thread reader([&] {
        TCPRecordRes record{};
        while (recv(client[1], &record, sizeof(record), MSG_WAITALL) == ssize_t(sizeof(record)))
            records.push_back(record);
    });
    ChannelSource source(channel[0], std::move(blocks));
    Run run;
    run.outcome = RunScanRecordLoop(source, pages, RecordLayout::Network, client[0], 2000);
    close(client[0]);
    writer.join();
    reader.join();
    close(channel[0]);
    close(client[1]);
    run.records = records;
    run.channelFailures = source.failures;
    return run;
}

PageOwner me()
{
    PageOwner owner;
    owner.known = true;
    owner.uid = geteuid();
    return owner;
}

} // namespace

SCAN_TEST(pagesHoldTheChannelBytesExactly)
{
    std::string directory = scratchDirectory();
    REQUIRE(!directory.empty());
    std::string base = ruvo_wire::ScanBaseName(directory, 4242, 0);
    PageFiles pages(base, me(), 64u * 1024 * 1024);
    // Pieces smaller and larger than a pipe holds by default, and one byte.
    const std::string first = pattern(70000, 1) + pattern(1, 2);
    const std::string second = pattern(300000, 3) + pattern(4096, 4);
    std::deque<Block> blocks = {{SCAN_STATUS_BEGIN_OF_PAGE, 0}, {SCAN_STATUS_OPERATION_CONTINUOUS, 70000},
                                {SCAN_STATUS_OPERATION_CONTINUOUS, 1}, {SCAN_STATUS_BEGIN_OF_PAGE, 0},
                                {SCAN_STATUS_OPERATION_CONTINUOUS, 300000},
                                {SCAN_STATUS_OPERATION_CONTINUOUS, 4096}};
    Run run = runOver(pages, blocks, first + second);
    CHECK_EQ(run.outcome.result, ruvo_wire::RESULT_END_OF_SCAN);
    CHECK_EQ(run.channelFailures, 0);
    CHECK(readFile(ruvo_wire::PageFileName(base, 0)) == first);
    CHECK(readFile(ruvo_wire::PageFileName(base, 1)) == second);
    REQUIRE(run.records.size() == size_t(7));
    const int32_t sizes[] = {0, 70000, 1, 0, 300000, 4096, 0};
    const int32_t indexes[] = {0, 1, 1, 1, 2, 2, 2};
    for (size_t i = 0; i < 7; ++i) {
        CHECK_EQ(run.records[i].bufferLen, sizes[i]);
        CHECK_EQ(run.records[i].fileIndex, indexes[i]);
        CHECK_EQ(run.records[i].result, i == 6 ? ruvo_wire::RESULT_END_OF_SCAN : ruvo_wire::RESULT_GOOD);
    }
    unlink(ruvo_wire::PageFileName(base, 0).c_str());
    unlink(ruvo_wire::PageFileName(base, 1).c_str());
    rmdir(directory.c_str());
}

SCAN_TEST(aChannelThatDiesInsideABlockLeavesThePageAsBefore)
{
    std::string directory = scratchDirectory();
    REQUIRE(!directory.empty());
    std::string base = ruvo_wire::ScanBaseName(directory, 4242, 1);
    PageFiles pages(base, me(), 64u * 1024 * 1024);
    const std::string whole = pattern(50000, 5);
    // The second block announces 200000 bytes; the channel ends after 120000.
    std::deque<Block> blocks = {{SCAN_STATUS_BEGIN_OF_PAGE, 0}, {SCAN_STATUS_OPERATION_CONTINUOUS, 50000},
                                {SCAN_STATUS_OPERATION_CONTINUOUS, 200000},
                                {SCAN_STATUS_OPERATION_CONTINUOUS, 10}};
    Run run = runOver(pages, blocks, whole + pattern(120000, 6));
    CHECK_EQ(run.outcome.result, ruvo_wire::RESULT_IO_ERROR);
    CHECK(run.outcome.scannerEnded);
    CHECK_EQ(run.channelFailures, 1);
    CHECK(readFile(ruvo_wire::PageFileName(base, 0)) == whole);
    REQUIRE(run.records.size() == size_t(3));
    CHECK_EQ(run.records[2].result, ruvo_wire::RESULT_IO_ERROR);
    CHECK_EQ(run.records[2].bufferLen, 0);
    unlink(ruvo_wire::PageFileName(base, 0).c_str());
    rmdir(directory.c_str());
}

SCAN_TEST(aBlockOverTheCapIsNotTaken)
{
    std::string directory = scratchDirectory();
    REQUIRE(!directory.empty());
    std::string base = ruvo_wire::ScanBaseName(directory, 4242, 2);
    PageFiles pages(base, me(), 100000);
    std::deque<Block> blocks = {{SCAN_STATUS_BEGIN_OF_PAGE, 0}, {SCAN_STATUS_OPERATION_CONTINUOUS, 60000},
                                {SCAN_STATUS_OPERATION_CONTINUOUS, 60000}};
    const std::string stream = pattern(120000, 7);
    Run run = runOver(pages, blocks, stream);
    CHECK_EQ(run.outcome.result, ruvo_wire::RESULT_NO_MEMORY);
    CHECK_EQ(run.channelFailures, 0);
    CHECK(readFile(ruvo_wire::PageFileName(base, 0)) == stream.substr(0, 60000));
    REQUIRE(run.records.size() == size_t(3));
    CHECK_EQ(run.records[2].result, ruvo_wire::RESULT_NO_MEMORY);
    CHECK_EQ(run.records[2].bufferLen, 0);
    unlink(ruvo_wire::PageFileName(base, 0).c_str());
    rmdir(directory.c_str());
}
