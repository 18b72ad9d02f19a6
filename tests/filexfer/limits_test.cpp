// Name and path lengths at the record sizes and one past them.
#include <string>

#include "filexfer/file_test_support.h"
#include "filexfer/offer.h"

namespace wirekit::filexfer::test {
namespace {

// A path under `base` of exactly `length` characters, in components of at
// most 200 so that every file system takes them.
fs::path pathOfLength(const fs::path& base, std::size_t length) {
    std::string path = base.string();
    std::size_t remaining = length - path.size();
    auto add = [&](std::size_t characters) {
        path += "/" + std::string(characters, 'p');
        remaining -= characters + 1;
    };
    while (remaining > 203) add(200);
    if (remaining > 201) add(remaining - 4);
    add(remaining - 1);
    return path;
}

TEST_F(FileTest, SendPathsUpToTheRecordSizeAreTakenLongerOnesRefused) {
    int port = 0;
    server(0, &port);
    void* c = client(1, port);
    for (std::size_t length : {FILE_PATH_MAX, FILE_PATH_MAX + 1}) {
        const fs::path p = pathOfLength(dir_ / std::to_string(length), length);
        ASSERT_EQ(p.string().size(), length);
        std::error_code error;
        fs::create_directories(p.parent_path(), error);
        writeFile(p, "data");
        // Some systems cap whole paths near 260 characters.
        if (!fs::exists(p, error)) GTEST_SKIP() << "the file system takes no path of " << length;
        EXPECT_EQ(SendFile_Tcp(c, p.string().c_str()), length == FILE_PATH_MAX ? 1 : 0) << length;
    }
    ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_QUEUED));
    FileSendJob job;
    ASSERT_EQ(GetSendJob_Tcp(c, paramOf(1, TCP_EV_SEND_QUEUED), &job), 1);
    EXPECT_EQ(std::string(job.filePath).size(), FILE_PATH_MAX);
}

// A raw peer offers names around the record size; the receiver shows them
// cut to fit, and save paths are taken up to their record size.
TEST_F(FileTest, OfferedNamesAreCutToTheRecordAndSavePathsCheckedAtTheirLimit) {
    int port = 0;
    void* s = server(0, &port);
    const std::string longest(FILE_PATH_MAX, 's');
    int offers = 0;
    for (std::size_t length : {FILE_NAME_MAX, FILE_NAME_MAX + 1}) {
        RawPeer peer;
        ASSERT_TRUE(peer.connect(port));
        const std::string name = "dir/" + std::string(length - 1, 'n') + "e";
        std::string header = formatOffer(name, 5);
        header.append(reinterpret_cast<const char*>(OFFER_END), 2);
        ASSERT_TRUE(peer.send(header));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_FILE_OFFER, ++offers));
        // The latest offer: the earlier session's end (3013) may come after it.
        int offer = 0;
        for (const auto& e : log(0).events())
            if (e.first == TCP_EV_FILE_OFFER) offer = e.second;
        FileRecvOffer record;
        ASSERT_EQ(GetRecvOffer_Tcp(s, offer, &record), 1);
        EXPECT_EQ(std::string(record.fileName), name.substr(4, FILE_NAME_MAX)) << length;

        EXPECT_EQ(SetSavePath_Tcp(s, offer, (longest + "x").c_str()), 0);
        EXPECT_EQ(SetSavePath_Tcp(s, offer, nullptr), 0);
        EXPECT_EQ(SetSavePath_Tcp(s, offer, longest.c_str()), 1);
        ASSERT_EQ(GetRecvOffer_Tcp(s, offer, &record), 1);
        EXPECT_EQ(std::string(record.savePath), longest);
        EXPECT_EQ(RecvFile_Tcp(s, offer, false), 1);
        EXPECT_EQ(peer.read(ANSWER_BYTES), ANSWER_REFUSE);
    }
}

}  // namespace
}  // namespace wirekit::filexfer::test
