#include "run/pool.h"

EvaluationPool::EvaluationPool(const EvaluationContext& context, int threads) : context_(context) {
    for (int t = 0; t < threads; ++t) workers_.emplace_back([this] { work(); });
}

EvaluationPool::~EvaluationPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void EvaluationPool::submit(Evaluation* evaluation) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(evaluation);
    }
    work_ready_.notify_one();
}

void EvaluationPool::wait(const Evaluation* evaluation) {
    std::unique_lock<std::mutex> lock(mutex_);
    work_done_.wait(lock, [evaluation] { return evaluation->done; });
}

bool EvaluationPool::done(const Evaluation* evaluation) {
    std::lock_guard<std::mutex> lock(mutex_);
    return evaluation->done;
}

void EvaluationPool::work() {
    FitCache cache;
    for (;;) {
        Evaluation* evaluation = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            evaluation = queue_.front();
            queue_.pop_front();
        }
        evaluate(context_, evaluation, &cache);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            evaluation->done = true;
        }
        work_done_.notify_all();
    }
}
