// A receive target on a device that is always full: the failed write ends
// the receive with 3013 and the session, never with a completion.
#include <unistd.h>

#include "filexfer/file_test_support.h"

namespace wirekit::filexfer::test {
namespace {

TEST_F(FileTest, WritingToAFullDeviceFailsTheReceiveAndEndsTheSession) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
    const fs::path link = dir_ / "full_link";
    fs::create_symlink("/dev/full", link);
    // A small file fails only when the last bytes are flushed; a large one
    // on its first writes. One goes to the device, one through a link to it.
    const struct {
        std::size_t size;
        std::string target;
    } cases[] = {{100, "/dev/full"}, {300000, link.string()}};
    int slot = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        int port = 0;
        void* s = server(slot, &port);
        void* sender = client(slot + 1, port);
        const std::string target = c.target;
        log(slot).setHook([s, target](int code, int param) {
            if (code != TCP_EV_FILE_OFFER) return;
            SetSavePath_Tcp(s, param, target.c_str());
            RecvFile_Tcp(s, param, true);
        });
        const fs::path source = file("source" + std::to_string(c.size), patterned(c.size));
        ASSERT_EQ(SendFile_Tcp(sender, source.string().c_str()), 1);
        ASSERT_TRUE(log(slot).waitFor(TCP_EV_RECV_FAILED));
        EXPECT_EQ(log(slot).count(TCP_EV_RECV_DONE), 0);
        // The file travels on a connection of its own next to the message
        // connection; only the file's session ends.
        EXPECT_TRUE(wirekit::test::waitUntil(
            [&] { return tcp::test::endpointOf(s)->sessionCount() == 1; }));
        EXPECT_EQ(log(slot).count(TCP_EV_CONNECTED), 2);
        // The sender ends too, whichever way it learns of the end.
        EXPECT_TRUE(log(slot + 1).waitUntil([](const auto& events) {
            for (const auto& e : events) {
                if (e.first == TCP_EV_SEND_DONE || e.first == TCP_EV_SEND_FAILED ||
                    e.first == TCP_EV_DISCONNECTED)
                    return true;
            }
            return false;
        }));
        slot += 2;
    }
}

}  // namespace
}  // namespace wirekit::filexfer::test
