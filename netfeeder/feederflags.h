#pragma once
// State shared by the main loop, the control-channel thread and the TFTP hooks. Each value is
// written by one party at a time; atomics keep every read and write whole.

#include <atomic>

struct FeederFlags {
    std::atomic<bool> channelEnabled{true};
    std::atomic<bool> dhcpNotificationWanted{false};
    std::atomic<bool> fileNotificationWanted{false};
    std::atomic<bool> quit{false};
    std::atomic<bool> fileSent{false};
    std::atomic<float> progress{0.0f};
};
