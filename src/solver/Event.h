#pragma once

#include <cstdint>
#include <memory>
#include <set>

// A time-stamped message record. The time stamp and the id order it in an
// EventQueue; serial number, source and target process ids and the user data
// are free for the owner's use.
class Event {
public:
    Event() = default;
    explicit Event(double timeStamp) : timeStamp_(timeStamp) {}
    Event(double timeStamp, uint32_t eventId) : timeStamp_(timeStamp), eventId_(eventId) {}
    // Copies `size` bytes of `data` into a buffer of its own.
    Event(double timeStamp, uint32_t eventId, const char* data, uint32_t size);
    // Copies everything but the target set, which starts empty; the user data
    // gets a buffer of its own.
    Event(const Event& other);
    Event& operator=(const Event& other);
    virtual ~Event() = default;

    double GetTimeStamp() const { return timeStamp_; }
    void SetTimeStamp(double timeStamp) { timeStamp_ = timeStamp; }
    uint32_t GetEventId() const { return eventId_; }
    void SetEventId(uint32_t eventId) { eventId_ = eventId; }
    uint32_t GetSourceProcessId() const { return sourceProcessId_; }
    void SetSourceProcessId(uint32_t id) { sourceProcessId_ = id; }
    uint32_t GetSerialNumber() const { return serialNumber_; }
    void SetSerialNumber(uint32_t serialNumber) { serialNumber_ = serialNumber; }

    // Replaces the user data with a copy; null data or size 0 leaves none.
    void SetUserData(const char* data, uint32_t size);
    // The buffer (null if none); its size goes to `size`.
    char* GetUserData(uint32_t& size);
    const char* GetUserData(uint32_t& size) const;

    void SetTargetProcessIdSet(const std::set<uint32_t>& ids) { targetProcessIds_ = ids; }
    std::set<uint32_t> GetTargetProcessIdSet() const { return targetProcessIds_; }

private:
    uint32_t serialNumber_ = 0;
    double timeStamp_ = 0.0;
    uint32_t eventId_ = 0;
    uint32_t sourceProcessId_ = 0;
    std::set<uint32_t> targetProcessIds_;
    std::unique_ptr<char[]> userData_;
    uint32_t userDataSize_ = 0;
};
