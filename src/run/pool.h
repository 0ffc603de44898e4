// Worker threads that evaluate in any order; the caller waits for each
// evaluation it needs next, so that output keeps the configuration's order.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "run/evaluation.h"

class EvaluationPool {
public:
    EvaluationPool(const EvaluationContext& context, int threads);
    ~EvaluationPool();
    EvaluationPool(const EvaluationPool&) = delete;
    EvaluationPool& operator=(const EvaluationPool&) = delete;

    void submit(Evaluation* evaluation);
    void wait(const Evaluation* evaluation);
    bool done(const Evaluation* evaluation);

private:
    void work();

    const EvaluationContext& context_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    std::deque<Evaluation*> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};
