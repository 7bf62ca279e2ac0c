// The work-stealing queue of one worker: the owner pushes and pops at the back (newest
// first, so a fork-join's right half is usually taken back by its own thread), thieves
// take from the front (the oldest, largest pieces of a split range).
//
// Memory order: every operation runs under the queue's mutex.  Unlocking after a push is
// a release and locking before a pop or steal an acquire, so a thread that obtains a Job*
// sees everything the pushing thread wrote before pushing it (the job's body and the data
// it refers to).  Completion travels the other way through Job::done (job.hpp).
#pragma once

#include <deque>
#include <mutex>

#include "parallel/job.hpp"

namespace quelbrin::parallel {

class WorkQueue {
  public:
    // Throws std::bad_alloc or std::system_error; nothing is queued then.
    void push(Job* job) {
        std::lock_guard<std::mutex> lk(m_);
        jobs_.push_back(job);
    }

    // The owner's end: the newest job, or null.
    Job* pop() {
        std::lock_guard<std::mutex> lk(m_);
        if (jobs_.empty()) return nullptr;
        Job* job = jobs_.back();
        jobs_.pop_back();
        return job;
    }

    // A thief's end: the oldest job, or null.
    Job* steal() {
        std::lock_guard<std::mutex> lk(m_);
        if (jobs_.empty()) return nullptr;
        Job* job = jobs_.front();
        jobs_.pop_front();
        return job;
    }

    // Removes `job` if it is still the newest entry; false if another thread has taken it.
    bool take_back(Job* job) {
        std::lock_guard<std::mutex> lk(m_);
        if (jobs_.empty() || jobs_.back() != job) return false;
        jobs_.pop_back();
        return true;
    }

  private:
    std::mutex m_;
    std::deque<Job*> jobs_;
};

}  // namespace quelbrin::parallel
