#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <string>

#include "WanProfile.h"

namespace wan {

// One direction of the emulated link, shared by every flow that crosses it:
// a bounded queue in front of a serializer that sends at the profile's rate,
// then the one-way delay (plus jitter that never reorders). Times are in
// microseconds on one monotonic clock that the caller passes in.
class WanLink {
public:
    enum Kind { DATA, END, RESET, DATAGRAM };
    struct Chunk {
        uint64_t flow;
        Kind kind;
        std::string bytes;
        int64_t departUs;
        int64_t arriveUs;
    };

    explicit WanLink(const WanProfile& profile, uint32_t seed = 1);

    void setProfile(const WanProfile& profile) { m_profile = profile; }

    // Moves what the serializer has sent by nowUs out of the queue.
    void advance(int64_t nowUs);
    // Bytes still waiting for the serializer (the queue in front of the link).
    int64_t queued() const { return m_queued; }
    // How many bytes may join the queue now.
    int64_t room() const;
    // Enters the queue whatever the room: callers check room() first (TCP
    // waits, UDP drops). Markers (END, RESET) take no link time.
    void push(int64_t nowUs, uint64_t flow, Kind kind, std::string bytes);
    // The next chunk that has arrived by nowUs, in sending order.
    bool pop(int64_t nowUs, Chunk* out);
    // When something next changes (a departure frees room or a chunk
    // arrives); -1 when the link is empty.
    int64_t nextEventUs() const;

    uint64_t bytesSent() const { return m_bytesSent; }

private:
    WanProfile m_profile;
    std::deque<Chunk> m_queue;   // not yet sent, departUs ascending
    std::deque<Chunk> m_flight;  // sent, arriveUs ascending
    int64_t m_queued = 0;
    double m_busyUntilUs = 0;  // fractional, so small chunks add up exactly
    int64_t m_lastArriveUs = 0;
    uint64_t m_bytesSent = 0;
    std::mt19937 m_random;
};

}  // namespace wan
