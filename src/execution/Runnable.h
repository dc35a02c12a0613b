#pragma once

// A unit of work that a Thread runs: Run() is called once on the new thread.
class Runnable {
public:
    virtual ~Runnable() = default;
    virtual void Run() = 0;
};
