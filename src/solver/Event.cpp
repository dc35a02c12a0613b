#include "solver/Event.h"

#include <cstring>

Event::Event(double timeStamp, uint32_t eventId, const char* data, uint32_t size)
    : timeStamp_(timeStamp), eventId_(eventId) {
    SetUserData(data, size);
}

Event::Event(const Event& other)
    : serialNumber_(other.serialNumber_),
      timeStamp_(other.timeStamp_),
      eventId_(other.eventId_),
      sourceProcessId_(other.sourceProcessId_) {
    SetUserData(other.userData_.get(), other.userDataSize_);
}

Event& Event::operator=(const Event& other) {
    if (this == &other) return *this;
    serialNumber_ = other.serialNumber_;
    timeStamp_ = other.timeStamp_;
    eventId_ = other.eventId_;
    sourceProcessId_ = other.sourceProcessId_;
    targetProcessIds_.clear();
    SetUserData(other.userData_.get(), other.userDataSize_);
    return *this;
}

void Event::SetUserData(const char* data, uint32_t size) {
    if (data == nullptr || size == 0) {
        userData_.reset();
        userDataSize_ = 0;
        return;
    }
    // Copy first: `data` may point into the current buffer.
    auto buffer = std::make_unique<char[]>(size);
    std::memcpy(buffer.get(), data, size);
    userData_ = std::move(buffer);
    userDataSize_ = size;
}

char* Event::GetUserData(uint32_t& size) {
    size = userDataSize_;
    return userData_.get();
}

const char* Event::GetUserData(uint32_t& size) const {
    size = userDataSize_;
    return userData_.get();
}
