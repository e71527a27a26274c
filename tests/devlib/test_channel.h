// A channel that records what the library sends and answers from a script.
#pragma once

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "devlib/commands.h"
#include "transport/device_communication.h"

namespace testsupport {

class TestChannel : public velmora::CDeviceCommunication {
public:
    struct Sent {
        int bRequest;
        std::vector<uint8_t> bytes;
        int replyLen;  // Transact only; -1 for Write
    };
    struct Answer {
        int result;
        std::vector<uint8_t> reply;
    };

    explicit TestChannel(uint16_t m = 1160) { model = m; }

    int Open(const char* request, int, int* exErrorValue) override {
        opens.push_back(request ? request : "(null)");
        if (exErrorValue) *exErrorValue = openError;
        opened = openResult;
        return openResult;
    }
    int Close() override {
        ++closes;
        bool was = opened;
        opened = 0;
        return was ? 1 : 0;
    }
    int ListAvailableDevices(std::vector<uint8_t>*, int) override { return 0; }
    int GetListOfAvailableDevices(std::vector<uint8_t>*) override { return 0; }
    int IsOpen() override { return opened; }
    int Identify() override { return 1; }
    int GetDownloadProgress() override { return 0; }
    int Transact(int bRequest, const uint8_t* cmd, int cmdLen, int replyLen, std::vector<uint8_t>* reply) override {
        sent.push_back({bRequest, std::vector<uint8_t>(cmd, cmd + cmdLen), replyLen});
        Answer a = Next();
        *reply = a.reply;
        return a.result;
    }
    int Read(uint8_t*, uint32_t) override { return -1; }
    int Write(const uint8_t* frame, int len, int waitReady, int delayMs) override {
        sent.push_back({-1, std::vector<uint8_t>(frame, frame + len), -1});
        writeArgs.push_back({waitReady, delayMs});
        return Next().result;
    }
    int StartDownload(std::unique_ptr<uint8_t[]> data, int size) override {
        downloads.emplace_back(data.get(), data.get() + size);
        return downloadResult;
    }

    // Queue the answer to the next exchange: Transact result and payload (or Write result).
    void Reply(int result, std::vector<uint8_t> reply = {}) { answers.push_back({result, std::move(reply)}); }
    // A payload answer: Transact returns its length.
    void Payload(std::vector<uint8_t> reply) { answers.push_back({static_cast<int>(reply.size()), std::move(reply)}); }
    // An older-family answer: n data bytes followed by their ByteSum, big-endian.
    void OlderPayload(std::vector<uint8_t> data) {
        uint32_t sum = velmora::ByteSum(data.data(), static_cast<uint32_t>(data.size()));
        for (int s = 24; s >= 0; s -= 8) data.push_back(static_cast<uint8_t>(sum >> s));
        Payload(std::move(data));
    }

    std::vector<Sent> sent;
    std::vector<std::pair<int, int>> writeArgs;
    std::vector<std::vector<uint8_t>> downloads;
    std::vector<std::string> opens;
    std::deque<Answer> answers;
    int openResult = 1;
    int openError = 0;
    int opened = 0;
    int closes = 0;
    int downloadResult = 1;

private:
    Answer Next() {
        if (answers.empty()) return {-3, {}};  // nothing scripted: the transport failed
        Answer a = answers.front();
        answers.pop_front();
        return a;
    }
};

inline std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
    std::vector<uint8_t> out;
    for (int b : v) out.push_back(static_cast<uint8_t>(b));
    return out;
}

}  // namespace testsupport
