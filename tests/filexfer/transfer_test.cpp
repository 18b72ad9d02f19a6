// Files between two endpoints on loopback: contents, sizes, several at once,
// refusal and the sequences of events on both ends.
#include <chrono>
#include <fstream>
#include <thread>

#include "filexfer/file_test_support.h"

namespace wirekit::filexfer::test {
namespace {

using Seq = std::vector<int>;

class Transfer : public FileTest {};

TEST_F(Transfer, SizesAroundTheChunkArriveIdentical) {
    int port = 0;
    void* s = server(0, &port);
    autoAnswer(s, 0);
    void* c = client(1, port);
    const std::size_t sizes[] = {1, 40960, 40961, 3 * 1024 * 1024 + 7};
    int n = 0;
    for (std::size_t size : sizes) {
        const std::string name = "f" + std::to_string(size) + ".bin";
        const std::string data = patterned(size, static_cast<unsigned>(size));
        ASSERT_EQ(SendFile_Tcp(c, file(name, data).string().c_str()), 1);
        ++n;
        ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_DONE, n)) << size;
        ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_DONE, n)) << size;
        EXPECT_EQ(readFile(received(name)), data) << size;
    }
}

TEST_F(Transfer, EventSequencesOnBothEnds) {
    int port = 0;
    void* s = server(0, &port);
    autoAnswer(s, 0);
    void* c = client(1, port);
    const std::string data = patterned(100000);
    ASSERT_EQ(SendFile_Tcp(c, file("seq.bin", data).string().c_str()), 1);
    ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_DONE));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_DONE));
    // 3005 queued; 3006 offered, accepted, data start and after each chunk;
    // 3007 done.
    EXPECT_EQ(fileSequence(1), (Seq{TCP_EV_SEND_QUEUED, TCP_EV_SEND_PROGRESS, TCP_EV_SEND_DONE}));
    EXPECT_GE(log(1).count(TCP_EV_SEND_PROGRESS), 3 + 3);
    // The job's own connection ends once the job is done: 3013 closes the
    // receiving session.
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_FAILED));
    const Seq expected{TCP_EV_CONNECTED,    TCP_EV_CONNECTED,     TCP_EV_FILE_OFFER,
                       TCP_EV_RECV_STARTED, TCP_EV_RECV_PROGRESS, TCP_EV_RECV_DONE,
                       TCP_EV_RECV_FAILED};
    EXPECT_EQ(fileSequence(0), expected);
    // Freed records are refused.
    FileSendJob job;
    EXPECT_EQ(GetSendJob_Tcp(c, paramOf(1, TCP_EV_SEND_QUEUED), &job), 0);
    EXPECT_EQ(StopSendFile_Tcp(c, paramOf(1, TCP_EV_SEND_QUEUED)), 0);
    // The offer goes with its session, which ends just after raising 3013.
    FileRecvOffer offer;
    EXPECT_TRUE(wirekit::test::waitUntil(
        [&] { return GetRecvOffer_Tcp(s, paramOf(0, TCP_EV_FILE_OFFER), &offer) == 0; }));
    EXPECT_EQ(RecvFile_Tcp(s, paramOf(0, TCP_EV_FILE_OFFER), true), 0);
}

TEST_F(Transfer, EmptyFileArrives) {
    int port = 0;
    void* s = server(0, &port);
    autoAnswer(s, 0);
    void* c = client(1, port);
    writeFile(received("empty.bin"), "old contents");
    ASSERT_EQ(SendFile_Tcp(c, file("empty.bin", "").string().c_str()), 1);
    ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_DONE));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_FAILED));
    const Seq expected{TCP_EV_CONNECTED,    TCP_EV_CONNECTED, TCP_EV_FILE_OFFER,
                       TCP_EV_RECV_STARTED, TCP_EV_RECV_DONE, TCP_EV_RECV_FAILED};
    EXPECT_EQ(fileSequence(0), expected);
    EXPECT_TRUE(fs::exists(received("empty.bin")));
    EXPECT_EQ(fs::file_size(received("empty.bin")), 0u);
}

// The acceptance goes out although the endpoint closes right after it, and
// the empty file is created before the session ends.
TEST_F(Transfer, EmptyFileAcceptedByAHostThatClosesAtOnce) {
    int port = 0;
    void* s = server(0, &port);
    const std::string target = (dir_ / "closing.bin").string();
    log(0).setHook([s, target](int code, int param) {
        if (code != TCP_EV_FILE_OFFER) return;
        SetSavePath_Tcp(s, param, target.c_str());
        RecvFile_Tcp(s, param, true);
        Close_Tcp(s);
    });
    void* c = client(1, port);
    ASSERT_EQ(SendFile_Tcp(c, file("empty.bin", "").string().c_str()), 1);
    ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_DONE));
    EXPECT_TRUE(wirekit::test::waitUntil([&] { return fs::exists(target); }));
}

// A sparse source just past 4 GiB, with known bytes across the 2 GiB and
// 4 GiB boundaries and at both ends: every position must travel in 64 bits,
// also where long and pointers are 32 bits wide.
TEST_F(Transfer, SlowFilesPastTwoAndFourGiBArriveWhole) {
    const std::int64_t size = (std::int64_t{1} << 32) + 40961;
    const std::int64_t marks[] = {0, (std::int64_t{1} << 31) - 1000, (std::int64_t{1} << 32) - 1000,
                                  size - 3000};
    const std::size_t markBytes = 3000;
    // The target is written in full; the source may take its size too where
    // the file system keeps no holes.
    std::error_code error;
    const fs::space_info room = fs::space(dir_, error);
    if (error || room.available < static_cast<std::uintmax_t>(2 * size + (256 << 20)))
        GTEST_SKIP() << "not enough free space under " << dir_;
    const fs::path source = dir_ / "big.bin";
    writeFile(source, "");
    fs::resize_file(source, static_cast<std::uintmax_t>(size), error);
    if (error || fs::file_size(source, error) != static_cast<std::uintmax_t>(size))
        GTEST_SKIP() << "the file system takes no file of " << size << " bytes";
    {
        std::fstream out(source, std::ios::binary | std::ios::in | std::ios::out);
        for (std::int64_t at : marks) {
            const std::string mark = patterned(markBytes, static_cast<unsigned>(at >> 8));
            out.seekp(at);
            out.write(mark.data(), static_cast<std::streamsize>(mark.size()));
        }
        ASSERT_TRUE(out.good());
    }
    int port = 0;
    void* s = server(0, &port);
    autoAnswer(s, 0);
    void* c = client(1, port);
    ASSERT_EQ(SendFile_Tcp(c, source.string().c_str()), 1);
    const int job = paramOf(1, TCP_EV_SEND_QUEUED);
    FileSendJob queued;
    ASSERT_EQ(GetSendJob_Tcp(c, job, &queued), 1);
    EXPECT_EQ(queued.fileSize, size);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_FILE_OFFER));
    FileRecvOffer offered;
    ASSERT_EQ(GetRecvOffer_Tcp(s, paramOf(0, TCP_EV_FILE_OFFER), &offered), 1);
    EXPECT_EQ(offered.fileSize, size);
    // Slow hosts move a few tens of MiB a second through loopback.
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_DONE, 1, std::chrono::minutes(5)));
    ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_DONE));
    EXPECT_EQ(log(1).count(TCP_EV_SEND_FAILED), 0);

    const fs::path target = received("big.bin");
    EXPECT_EQ(fs::file_size(target, error), static_cast<std::uintmax_t>(size));
    std::ifstream in(target, std::ios::binary);
    for (std::int64_t at : marks) {
        std::string got(markBytes, '\0');
        in.seekg(at);
        in.read(&got[0], static_cast<std::streamsize>(got.size()));
        EXPECT_TRUE(got == patterned(markBytes, static_cast<unsigned>(at >> 8))) << "at " << at;
    }
    // Between the marks the source is a hole, which reads as zeros.
    std::string between(4096, 'x');
    in.seekg((std::int64_t{3} << 30));
    in.read(&between[0], static_cast<std::streamsize>(between.size()));
    EXPECT_EQ(between, std::string(4096, '\0'));
}

TEST_F(Transfer, TwoFilesAtOnceBothIntact) {
    int port = 0;
    void* s = server(0, &port);
    autoAnswer(s, 0);
    void* c = client(1, port);
    const std::string a = patterned(2 * 1024 * 1024, 3), b = patterned(2 * 1024 * 1024 + 1, 4);
    ASSERT_EQ(SendFile_Tcp(c, file("a.bin", a).string().c_str()), 1);
    ASSERT_EQ(SendFile_Tcp(c, file("b.bin", b).string().c_str()), 1);
    ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_DONE, 2));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_DONE, 2));
    EXPECT_EQ(readFile(received("a.bin")), a);
    EXPECT_EQ(readFile(received("b.bin")), b);
    EXPECT_LE(tcp::test::endpointOf(c)->liveThreads(), 2);
}

TEST_F(Transfer, RefusedThenResumedIsOfferedAgain) {
    int port = 0;
    void* s = server(0, &port);
    autoAnswer(s, 0, false);
    void* c = client(1, port);
    const std::string data = patterned(50000);
    ASSERT_EQ(SendFile_Tcp(c, file("r.bin", data).string().c_str()), 1);
    const int job = paramOf(1, TCP_EV_SEND_QUEUED);
    ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_PROGRESS, 2));
    ASSERT_TRUE(wirekit::test::waitUntil([&] {
        FileSendJob j;
        return GetSendJob_Tcp(c, job, &j) == 1 && j.state == JOB_REFUSED && j.busy == 0;
    }));
    EXPECT_FALSE(fs::exists(received("r.bin")));
    autoAnswer(s, 0, true);
    // A refused job resumes into state 0 and is offered on a new connection.
    ASSERT_EQ(ResumeSendFile_Tcp(c, job), 1);
    ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_DONE));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_DONE));
    EXPECT_EQ(readFile(received("r.bin")), data);
    EXPECT_EQ(log(0).count(TCP_EV_FILE_OFFER), 2);
}

TEST_F(Transfer, BadSourcesAndTargets) {
    int port = 0;
    void* s = server(0, &port);
    void* c = client(1, port);
    EXPECT_EQ(SendFile_Tcp(c, (dir_ / "missing").string().c_str()), 0);
    EXPECT_EQ(SendFile_Tcp(c, dir_.string().c_str()), 0);
    EXPECT_EQ(SendFile_Tcp(c, nullptr), 0);
    EXPECT_EQ(SendFile_Tcp(c, (std::string(300, 'x')).c_str()), 0);
    EXPECT_EQ(SendFile_Tcp(nullptr, "x"), 0);
    // The receiver would read another name and size from the offer.
    EXPECT_EQ(SendFile_Tcp(c, file("a,b.txt", "data").string().c_str()), 0);
    EXPECT_TRUE(log(1).codes().empty());

    // The target cannot be opened: 3013 with state 7.
    log(0).setHook([s, this](int code, int param) {
        if (code != TCP_EV_FILE_OFFER) return;
        SetSavePath_Tcp(s, param, (dir_ / "no_such_dir" / "x").string().c_str());
        RecvFile_Tcp(s, param, true);
    });
    const std::string data = patterned(1000);
    ASSERT_EQ(SendFile_Tcp(c, file("t.bin", data).string().c_str()), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_FAILED));
    // So does an empty file, which is created at its acceptance.
    ASSERT_EQ(SendFile_Tcp(c, file("e.bin", "").string().c_str()), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_FAILED, 2));
    EXPECT_EQ(log(0).count(TCP_EV_RECV_STARTED), 0);
    EXPECT_EQ(log(0).count(TCP_EV_RECV_DONE), 0);
    EXPECT_FALSE(fs::exists(dir_ / "no_such_dir"));
}

TEST_F(Transfer, SourceGoneAtDataPhasePausesAndResumes) {
    int port = 0;
    void* s = server(0, &port);
    const fs::path src = file("late.bin", patterned(70000));
    const std::string data = patterned(70000);
    fs::create_directories(dir_ / "received");
    // The file is replaced by a directory while the first offer is decided.
    auto first = std::make_shared<std::atomic<bool>>(true);
    log(0).setHook([s, src, first, this](int code, int param) {
        if (code != TCP_EV_FILE_OFFER) return;
        if (first->exchange(false)) {
            fs::remove(src);
            fs::create_directory(src);
        }
        SetSavePath_Tcp(s, param, received("late.bin").string().c_str());
        RecvFile_Tcp(s, param, true);
    });
    void* c = client(1, port);
    ASSERT_EQ(SendFile_Tcp(c, src.string().c_str()), 1);
    const int job = paramOf(1, TCP_EV_SEND_QUEUED);
    ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_OPEN_FAILED));
    ASSERT_TRUE(wirekit::test::waitUntil([&] {
        FileSendJob j;
        return GetSendJob_Tcp(c, job, &j) == 1 && j.state == JOB_PAUSED && j.busy == 0;
    }));
    // 3012 is the job's last word until it is resumed.
    EXPECT_EQ(log(1).events().back(), std::make_pair(int{TCP_EV_SEND_OPEN_FAILED}, job));
    fs::remove(src);
    writeFile(src, data);
    ASSERT_EQ(ResumeSendFile_Tcp(c, job), 1);
    ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_DONE));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_DONE));
    EXPECT_EQ(readFile(received("late.bin")), data);
    // The resumed job was offered again from its saved state 0.
    EXPECT_EQ(log(0).count(TCP_EV_FILE_OFFER), 2);
}

TEST_F(Transfer, NoPeerGives3999AndStopFrees) {
    void* c = endpoint(1);
    ASSERT_EQ(SendFile_Tcp(c, file("x.bin", "abc").string().c_str()), 1);
    const int job = paramOf(1, TCP_EV_SEND_QUEUED);
    ASSERT_TRUE(log(1).waitFor(TCP_EV_DISCONNECTED));
    EXPECT_EQ(log(1).events().back(), std::make_pair(int{TCP_EV_DISCONNECTED}, 0));
    ASSERT_TRUE(wirekit::test::waitUntil([&] {
        FileSendJob j;
        return GetSendJob_Tcp(c, job, &j) == 1 && j.busy == 0 && j.state == JOB_NEW;
    }));
    EXPECT_EQ(StopSendFile_Tcp(c, job), 1);
    FileSendJob j;
    EXPECT_EQ(GetSendJob_Tcp(c, job, &j), 0);
}

TEST_F(Transfer, CloseWithQueuedJobsEndsEverything) {
    int port = 0;
    void* s = server(0, &port);
    // Offers are never answered: the sessions wait for a decision.
    void* c = client(1, port);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(SendFile_Tcp(c, file("q" + std::to_string(i), "data").string().c_str()), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_FILE_OFFER, 2));
    // Both sender threads wait for answers: the last job is still queued,
    // and stopping it frees it and says so.
    int last = 0;
    for (auto& e : log(1).events())
        if (e.first == TCP_EV_SEND_QUEUED) last = e.second;
    EXPECT_EQ(StopSendFile_Tcp(c, last), 1);
    EXPECT_EQ(log(1).events().back(), std::make_pair(int{TCP_EV_SEND_STOPPED}, last));
    FileSendJob j;
    EXPECT_EQ(GetSendJob_Tcp(c, last, &j), 0);
    auto clientEp = tcp::test::endpointOf(c);
    auto serverEp = tcp::test::endpointOf(s);
    EXPECT_EQ(Close_Tcp(c), 1);
    EXPECT_EQ(clientEp->liveThreads(), 0);
    EXPECT_EQ(Close_Tcp(s), 1);
    EXPECT_EQ(serverEp->liveThreads(), 0);
    handles_.clear();
}

}  // namespace
}  // namespace wirekit::filexfer::test
