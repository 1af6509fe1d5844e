#include "util/jobqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "support/capture.h"

namespace {

bool wait_until(const std::function<bool()> &done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Shared by the handlers below (a handler only gets the job's data).
struct Jobs {
  std::mutex m;
  std::condition_variable cv;
  bool gate_open = true;
  std::atomic<int> active{0};
  std::atomic<int> max_active{0};
  std::atomic<int> done{0};
  std::vector<int> order;  // under m
  int close_on = -1;       // job id whose handler asks to end its worker
};

struct Job {
  ListEntry entry;
  Jobs *jobs;
  int id;
  std::atomic<int> runs{0};
};

int run_job(void *data) {
  Job *job = (Job *)data;
  Jobs *s = job->jobs;
  int now = ++s->active;
  int seen = s->max_active.load();
  while (now > seen && !s->max_active.compare_exchange_weak(seen, now)) {
  }
  {
    std::unique_lock<std::mutex> lk(s->m);
    s->cv.wait(lk, [s] { return s->gate_open; });
    s->order.push_back(job->id);
  }
  job->runs++;
  s->active--;
  s->done++;
  return job->id == s->close_on ? 1 : 0;
}

std::vector<Job> make_jobs(Jobs *s, int n) {
  std::vector<Job> v(n);
  for (int i = 0; i < n; i++) {
    v[i].entry = {nullptr, &v[i]};
    v[i].jobs = s;
    v[i].id = i;
  }
  return v;
}

void open_gate(Jobs *s) {
  std::lock_guard<std::mutex> lk(s->m);
  s->gate_open = true;
  s->cv.notify_all();
}

}  // namespace

// Every add before any worker got to run must not start more than the
// maximum, and all queued jobs still run.
TEST(JobQueue, BurstOfAddsStartsAtMostMaxWorkers) {
  Jobs s;
  s.gate_open = false;
  std::vector<Job> jobs = make_jobs(&s, 50);
  JobQueue *q = jobq_create(run_job, 4, 0, false);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(jobq_running(q), 0);
  for (Job &j : jobs) ASSERT_EQ(jobq_add(q, &j.entry, false), 0);
  EXPECT_EQ(jobq_running(q), 4);
  open_gate(&s);
  ASSERT_TRUE(wait_until([&] { return s.done == 50; }));
  EXPECT_LE(s.max_active.load(), 4);
  for (Job &j : jobs) EXPECT_EQ(j.runs.load(), 1) << j.id;
  // Idle workers of a non-blocking queue end by themselves.
  ASSERT_TRUE(wait_until([&] { return jobq_running(q) == 0; }));
  jobq_destroy(q);
}

// Producers racing with workers that are about to leave: no job may be
// stranded in the list without a worker.
TEST(JobQueue, RacingProducersLoseNoJob) {
  Jobs s;
  const int PRODUCERS = 4, EACH = 500;
  std::vector<Job> jobs = make_jobs(&s, PRODUCERS * EACH);
  JobQueue *q = jobq_create(run_job, 2, 0, false);
  ASSERT_NE(q, nullptr);
  std::vector<std::thread> producers;
  for (int p = 0; p < PRODUCERS; p++)
    producers.emplace_back([&, p] {
      for (int i = 0; i < EACH; i++) {
        jobq_add(q, &jobs[p * EACH + i].entry, i % 7 == 0);
        if (i % 50 == 0) std::this_thread::yield();
      }
    });
  for (auto &t : producers) t.join();
  ASSERT_TRUE(wait_until([&] { return s.done == PRODUCERS * EACH; })) << s.done;
  EXPECT_LE(s.max_active.load(), 2);
  for (Job &j : jobs) ASSERT_EQ(j.runs.load(), 1) << j.id;
  ASSERT_TRUE(wait_until([&] { return jobq_running(q) == 0; }));
  jobq_destroy(q);
}

TEST(JobQueue, FrontAddsRunFirst) {
  Jobs s;
  s.gate_open = false;
  std::vector<Job> jobs = make_jobs(&s, 3);
  JobQueue *q = jobq_create(run_job, 1, 0, false);
  ASSERT_NE(q, nullptr);
  jobq_add(q, &jobs[0].entry, false);
  ASSERT_TRUE(wait_until([&] { return s.active == 1; }));  // job 0 holds the only worker
  jobq_add(q, &jobs[1].entry, false);
  jobq_add(q, &jobs[2].entry, true);
  open_gate(&s);
  ASSERT_TRUE(wait_until([&] { return s.done == 3; }));
  EXPECT_EQ(s.order, (std::vector<int>{0, 2, 1}));
  ASSERT_TRUE(wait_until([&] { return jobq_running(q) == 0; }));
  jobq_destroy(q);
}

// A handler that ends its worker is logged; jobs queued behind it still run.
TEST(JobQueue, HandlerEndingItsWorkerLeavesNoJobBehind) {
  Jobs s;
  s.gate_open = false;
  s.close_on = 0;
  std::vector<Job> jobs = make_jobs(&s, 3);
  JobQueue *q = jobq_create(run_job, 1, 0, false);
  ASSERT_NE(q, nullptr);
  StdoutCapture out;
  for (Job &j : jobs) jobq_add(q, &j.entry, false);
  open_gate(&s);
  ASSERT_TRUE(wait_until([&] { return s.done == 3; }));
  ASSERT_TRUE(wait_until([&] { return jobq_running(q) == 0; }));
  EXPECT_TRUE(out.contains("thread_wrapper: closing thread"));
  jobq_destroy(q);
}

TEST(JobQueue, BlockingWorkersWaitAndDestroyStopsThem) {
  Jobs s;
  std::vector<Job> jobs = make_jobs(&s, 5);
  JobQueue *q = jobq_create(run_job, 3, 2, true);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(jobq_running(q), 2);
  for (Job &j : jobs) jobq_add(q, &j.entry, false);
  ASSERT_TRUE(wait_until([&] { return s.done == 5; }));
  EXPECT_EQ(jobq_running(q), 3);  // blocking workers stay for more jobs
  EXPECT_EQ(jobq_add(q, nullptr, false), -1);
  jobq_destroy(q);  // returns only once every worker has left
}
