// Helpers for the file-transfer tests: a temporary directory, files with
// known contents, endpoints with recording callbacks and raw peers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/timing.h"
#include "support/test_support.h"
#include "tcp/tcp_test_peer.h"
#include "wirekit.h"

namespace wirekit::filexfer::test {

namespace fs = std::filesystem;
using tcp::test::RawListener;
using tcp::test::RawPeer;
using tcp::test::readN;
using tcp::test::resetConnection;
using tcp::test::sendText;
using wirekit::test::log;
using wirekit::test::recorder;

inline std::string patterned(std::size_t size, unsigned seed = 1) {
    std::string s(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

inline std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const fs::path& p, const std::string& data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        wirekit::test::resetLogs();
        static std::atomic<int> counter{0};
        dir_ =
            fs::temp_directory_path() /
            ("wirekit_files_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + std::to_string(counter++) + "_" +
             std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        for (void* h : handles_) Close_Tcp(h);
        timing::restoreDefaults();
        wirekit::test::resetLogs();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    void* endpoint(int slot) {
        void* h = Init_Tcp(recorder(slot));
        handles_.push_back(h);
        return h;
    }
    void* server(int slot, int* port) {
        void* h = endpoint(slot);
        EXPECT_EQ(ListenMessage_Tcp(h, 0), 1);
        *port = tcp::test::endpointOf(h)->listenPort();
        return h;
    }
    void* client(int slot, int port) {
        void* h = endpoint(slot);
        EXPECT_EQ(Connect_Tcp(h, "127.0.0.1", port), 1);
        return h;
    }
    // Makes the server in `slot` accept every offer into dir/received/<name>
    // (or refuse it), from inside the 3004 handler.
    void autoAnswer(void* serverHandle, int slot, bool accept = true) {
        fs::create_directories(dir_ / "received");
        const std::string target = (dir_ / "received").string();
        log(slot).setHook([serverHandle, target, accept](int code, int param) {
            if (code != TCP_EV_FILE_OFFER) return;
            FileRecvOffer offer;
            if (GetRecvOffer_Tcp(serverHandle, param, &offer) != 1) return;
            SetSavePath_Tcp(serverHandle, param, (target + "/" + offer.fileName).c_str());
            RecvFile_Tcp(serverHandle, param, accept);
        });
    }
    fs::path file(const std::string& name, const std::string& data) {
        writeFile(dir_ / name, data);
        return dir_ / name;
    }
    fs::path received(const std::string& name) { return dir_ / "received" / name; }
    // The param of the first event `code` in `slot`, or 0.
    static int paramOf(int slot, int code) {
        for (auto& e : log(slot).events())
            if (e.first == code) return e.second;
        return 0;
    }
    // The event codes of `slot` that concern file transfer, 3006/3010
    // repeats collapsed into one.
    static std::vector<int> fileSequence(int slot) {
        std::vector<int> out;
        for (int code : log(slot).codes()) {
            if (code == TCP_EV_CONNECTED && slot != 0) continue;
            if (!out.empty() && out.back() == code &&
                (code == TCP_EV_SEND_PROGRESS || code == TCP_EV_RECV_PROGRESS))
                continue;
            out.push_back(code);
        }
        return out;
    }

    fs::path dir_;
    std::vector<void*> handles_;
};

}  // namespace wirekit::filexfer::test
