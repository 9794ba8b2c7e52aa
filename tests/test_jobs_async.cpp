// Asynchronous echo, background jobs and several jobs at once in one process:
// Task's one-shot round trip, the promise's texts, the start-up handshake,
// the failure files of every job kind, and OpenCV's process-wide thread count.
// Also built with ThreadSanitizer by tools/checks/tsan.sh.
#include "addon/background.h"
#include "addon/dispatch.h"
#include "addon/task.h"
#include "opencv_setup.h"
#include "plumbing/plumbing.h"
#if defined(LUMIVEX_EXE)
#include "program_run.h"
#endif
#include "starglow/starglow.h"
#include "standin/host.h"
#include "support.h"
#include "synth/synth.h"

#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using lvhost::CallArg;
using lvhost::CallResult;
using lvhost::ProgressSnapshot;
using lvhost::ResultKind;
using lvhost::StandinHost;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

// Waits for every background worker to end; false after a generous limit so
// that a hung worker fails the test instead of hanging it.
bool backgroundJobsEnd() {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  while (NL_backgroundJobsRunning() > 0) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string thrownText(const std::function<void()>& f) {
  try {
    f();
  } catch (const char* text) {
    return text;
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

ProgressSnapshot progressOf(const std::string& path) {
  ProgressSnapshot p;
  p.percent = -1;
  lvhost::readProgressFile(path, p);
  return p;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

struct Scene {
  synth::SceneFiles files;
  std::string progress, log;
};

// A small scene with its ready job file; size and depth vary with the kind.
Scene makeScene(const std::string& kind, const std::string& dir, std::uint64_t seed = 3) {
  synth::SceneRequest request;
  request.scene = kind;
  request.dir = dir;
  request.seed = seed;
  request.size = kind == "trail" ? cv::Size(240, 160) : cv::Size(320, 200);
  request.frames = kind == "glow" ? 1 : (kind == "trail" ? 5 : 4);
  request.bits = kind == "skyblend" ? 8 : 16;
  Scene s;
  std::string error;
  EXPECT_TRUE(synth::writeScene(request, s.files, error)) << error;
  s.progress = lvhost::jobProgressPath(s.files.job);
  s.log = s.progress.substr(0, s.progress.rfind("progress")) + "result_log.txt";
  return s;
}

// The direct Lighten path: no registration, so the sanitizer build stays quick
// where the test is about the call, not the trail.
void withoutRejection(const Scene& s) {
  std::string text = readFile(s.files.job);
  const std::string medium = "\"rejectionMode\": \"medium\"";
  const size_t at = text.find(medium);
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at, medium.size(), "\"rejectionMode\": \"off\"");
  writeFile(s.files.job, text);
}

// The verdict a finished job's files must agree on: a final progress entry at
// 100 and a result log whose verdict matches it.
void expectEnded(const Scene& s, const std::string& what) {
  const ProgressSnapshot p = progressOf(s.progress);
  const std::string log = readFile(s.log);
  EXPECT_EQ(p.percent, 100) << what;
  EXPECT_TRUE(p.stage == "Completed" || p.stage == "Failed") << what << ": " << p.stage;
  EXPECT_EQ(lvhost::resultLogReportsSuccess(log), p.stage == "Completed") << what << ":\n" << log;
}

// Sky Blend and hybrid stack arrive in later builds; until then their runner
// answers that it is missing, and the job must still end as a failure.
void expectSucceededOrNotBuilt(const Scene& s, const std::string& what) {
  expectEnded(s, what);
  const std::string log = readFile(s.log);
  if (log.find("not available in this build") != std::string::npos) {
    EXPECT_EQ(progressOf(s.progress).detail, firstLine(log)) << what;
  } else {
    EXPECT_TRUE(lvhost::resultLogReportsSuccess(log)) << what << ":\n" << log;
  }
}

struct AttachedHost : ::testing::Test {
  StandinHost host;
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(host.attach(uxp_addon_init, error)) << error;
  }
  void TearDown() override { EXPECT_TRUE(backgroundJobsEnd()); }
};

// ---- Task ---------------------------------------------------------------------

TEST_F(AttachedHost, TaskSchedulesOnceKeepsOneResultAndDiesWithItsLastWrapper) {
  std::weak_ptr<Task> watched;
  std::atomic<bool> ran{false};
  host.runOnScriptingThread([&] {
    std::shared_ptr<Task> task = Task::Create();
    watched = task;
    bool isError = true;
    EXPECT_EQ(thrownText([&] { task->GetResult(isError); }), "No result was set");
    EXPECT_FALSE(isError);  // the flag is set before the missing result is noticed
    task->SetResult(Value("first"), true);
    task->SetResult(Value(2.0), false);
    EXPECT_EQ(task->GetResult(isError).GetNumber(), 2.0);
    EXPECT_FALSE(isError);
    EXPECT_NE(task->ScheduleOnMainThread(host.env(), [&](Task&) { ran = true; }), nullptr);
    EXPECT_EQ(thrownText([&] { task->ScheduleOnMainThread(host.env(), [](Task&) {}); }),
              "Tasks can only be used to schedule one operation");
  });
  // the host's wrapper kept the task alive until the handler had run
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!watched.expired() && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(ran);
  EXPECT_TRUE(watched.expired());
}

TEST_F(AttachedHost, TaskInvokersLetExceptionsThroughAndRunAHandlerOnce) {
  host.failSlot(addon_slot::schedule_on_main_thread, 1);
  host.runOnScriptingThread([&] {
    std::shared_ptr<Task> task = Task::Create();
    int calls = 0;
    // a refused scheduling is an error for the caller, not a promise left pending
    EXPECT_EQ(thrownText([&] {
                task->ScheduleOnMainThread(host.env(), [&](Task&) {
                  ++calls;
                  throw std::runtime_error("handler failed");
                });
              }),
              "error");
    EXPECT_EQ(thrownText([&] { task->InvokeMainThreadHandler(); }), "handler failed");
    EXPECT_EQ(thrownText([&] { task->InvokeMainThreadHandler(); }), "(nothing thrown)");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(thrownText([&] { task->InvokeScriptingThreadHandler(); }), "(nothing thrown)");
  });
}

// ---- my_echo_async ------------------------------------------------------------

std::atomic<int> gSeenKind{-1};

addon_value echoReturning(addon_env env, addon_callback_info info) {
  return NL_echoAsyncWith(env, info, [](NLJobKind kind, const std::string&) {
    gSeenKind = static_cast<int>(kind);
    return std::string("Job completed.\nstatus=success\n");
  });
}
addon_value echoThrowingStd(addon_env env, addon_callback_info info) {
  return NL_echoAsyncWith(env, info, [](NLJobKind, const std::string& path) -> std::string {
    throw std::runtime_error("cannot stack " + path);
  });
}
addon_value echoThrowingText(addon_env env, addon_callback_info info) {
  return NL_echoAsyncWith(env, info, [](NLJobKind, const std::string&) -> std::string { throw "disk gone"; });
}
addon_value echoThrowingOther(addon_env env, addon_callback_info info) {
  return NL_echoAsyncWith(env, info, [](NLJobKind, const std::string&) -> std::string { throw 42; });
}

addon_value initWithTestEchoes(addon_env env, addon_value exports, const addon_apis* apis) {
  if (uxp_addon_init(env, exports, apis) == nullptr) return nullptr;
  const std::pair<const char*, addon_callback> extra[] = {
      {"echo_returning", echoReturning},
      {"echo_std", echoThrowingStd},
      {"echo_text", echoThrowingText},
      {"echo_other", echoThrowingOther}};
  for (const auto& e : extra) {
    addon_value f = nullptr;
    apis->create_function(env, nullptr, 0, e.second, nullptr, &f);
    apis->set_named_property(env, exports, e.first, f);
  }
  return exports;
}

std::string settledText(const CallResult& r) { return r.settled ? lvhost::describeValue(*r.settled) : "(none)"; }

TEST(AsyncEcho, ResolvesTrueOrRejectsWithTheFailureText) {
  StandinHost host;
  std::string error;
  ASSERT_TRUE(host.attach(initWithTestEchoes, error)) << error;
  const CallResult ok = host.call("echo_returning", CallArg::string("night/startrail_job_native.json"));
  ASSERT_EQ(ok.kind, ResultKind::Resolved);
  ASSERT_EQ(ok.settled->kind, ResultKind::Boolean);
  EXPECT_TRUE(ok.settled->boolean);
  EXPECT_EQ(gSeenKind.load(), static_cast<int>(NLJobKind::StarTrail));  // routed like my_echo

  const CallResult standard = host.call("echo_std", CallArg::string("a.txt"));
  ASSERT_EQ(standard.kind, ResultKind::Rejected);
  EXPECT_EQ(settledText(standard), "Lumivex Hybrid async stack failed with std::exception:\ncannot stack a.txt");
  const CallResult text = host.call("echo_text", CallArg::string("a.txt"));
  ASSERT_EQ(text.kind, ResultKind::Rejected);
  EXPECT_EQ(settledText(text), "Lumivex Hybrid async stack failed with const char* exception:\ndisk gone");
  const CallResult other = host.call("echo_other", CallArg::string("a.txt"));
  ASSERT_EQ(other.kind, ResultKind::Rejected);
  ASSERT_EQ(other.settled->kind, ResultKind::Boolean);
  EXPECT_TRUE(other.settled->boolean);
}

TEST_F(AttachedHost, AsyncEchoBadArgumentsAndHostFailuresNeverLeaveAPromisePending) {
  auto expectUnknown = [&](const CallResult& r, const char* what) {
    EXPECT_EQ(r.kind, ResultKind::Error) << what;
    EXPECT_EQ(r.text, "unknown exception") << what;
  };
  expectUnknown(host.call("my_echo_async"), "no argument");
  expectUnknown(host.call("my_echo_async", CallArg::numberArg(7)), "number");
  host.failSlot(addon_slot::create_promise, 1);
  expectUnknown(host.call("my_echo_async", CallArg::string("x.txt")), "create_promise");
  host.failSlot(addon_slot::schedule_on_main_thread, 1);
  expectUnknown(host.call("my_echo_async", CallArg::string("x.txt")), "schedule_on_main_thread");

  TempDir dir;
  const std::string missing = dir.file("missing_job.txt");
  const CallResult settles = host.call("my_echo_async", CallArg::string(missing));
  EXPECT_TRUE(settles.kind == ResultKind::Resolved || settles.kind == ResultKind::Rejected)
      << lvhost::describeResult(settles);

  host.failSlot(addon_slot::resolve_deferred, 1);
  const CallResult undelivered = host.call("my_echo_async", CallArg::string(missing));
  ASSERT_EQ(undelivered.kind, ResultKind::Rejected);
  EXPECT_EQ(settledText(undelivered), "Lumivex async result could not be delivered.");
}

TEST_F(AttachedHost, AsyncEchoOfRealJobsResolvesTrueAndLeavesEachLog) {
  TempDir dir;
  const Scene trail = makeScene("trail", dir.file("trail"), 11);
  withoutRejection(trail);
  const Scene stack = makeScene("stack", dir.file("stack"), 12);
  const CallResult t = host.call("my_echo_async", CallArg::string(trail.files.job));
  ASSERT_EQ(t.kind, ResultKind::Resolved) << lvhost::describeResult(t);
  EXPECT_EQ(lvhost::describeValue(*t.settled), "true");
  expectEnded(trail, "trail");
  EXPECT_TRUE(lvhost::resultLogReportsSuccess(readFile(trail.log))) << readFile(trail.log);
  const CallResult s = host.call("my_echo_async", CallArg::string(stack.files.job));
  ASSERT_EQ(s.kind, ResultKind::Resolved) << lvhost::describeResult(s);
  EXPECT_EQ(lvhost::describeValue(*s.settled), "true");
}

// ---- my_start_job_background ----------------------------------------------------

TEST_F(AttachedHost, BackgroundHandshakeWaitsForAJobFileStillBeingWritten) {
  TempDir dir;
  const Scene trail = makeScene("trail", dir.path(), 5);
  withoutRejection(trail);
  const std::string text = readFile(trail.files.job);
  const size_t logKey = text.find("\"resultLog\"");
  ASSERT_NE(logKey, std::string::npos);
  std::remove(trail.files.job.c_str());

  const CallResult started = host.call("my_start_job_background", CallArg::string(trail.files.job));
  ASSERT_EQ(started.kind, ResultKind::Boolean);
  EXPECT_TRUE(started.boolean);
  // the script's writer: the head, a pause, the middle, a pause, the keys the worker waits for
  const std::vector<std::string> pieces = {text.substr(0, logKey / 2), text.substr(logKey / 2, logKey - logKey / 2),
                                           text.substr(logKey)};
  for (const std::string& piece : pieces) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    std::ofstream(trail.files.job, std::ios::binary | std::ios::app) << piece;
  }
  ASSERT_TRUE(backgroundJobsEnd());
  const std::string log = readFile(trail.log);
  EXPECT_TRUE(lvhost::resultLogReportsSuccess(log)) << log;
  EXPECT_NE(log.find("frames=5\n"), std::string::npos) << log;
  EXPECT_EQ(progressOf(trail.progress).stage, "Completed");
}

TEST_F(AttachedHost, BackgroundFailuresOfEveryKindEndFailedWithALog) {
  TempDir dir;
  auto job = [&](const std::string& name, const std::string& text) {
    writeFile(dir.file(name), text);
    return dir.file(name);
  };
  auto json = [&](const std::string& tag, const std::string& body) {
    return "{\"type\": \"" + tag + "\", " + body + "\"progress\": \"" + dir.file(tag + "_progress.txt") +
           "\", \"resultLog\": \"" + dir.file(tag + "_result_log.txt") + "\"}\n";
  };
  const std::string frame = dir.file("frame.tif");
  writeFile(frame, "not an image");
  const std::vector<std::string> jobs = {
      job("startrail_job_native.json", json("startrail-native-job", "\"inputs\": [{\"path\": \"" + frame +
                                                                        "\"}], \"output\": \"o.tif\", ")),
      job("star_glow_job_native.json",
          json("star-glow-native-job", "\"inputPath\": \"" + dir.file("missing.tif") + "\", ")),
      job("skyblend_job_native.json", json("skyblend-native-job", "\"inputs\": [{\"path\": \"" + frame + "\"}], ")),
      job("stack_job.txt", "method=median\nprogress=" + dir.file("stack_progress.txt") +
                               "\nresultLog=" + dir.file("stack_result_log.txt") + "\n")};
  const std::vector<std::string> tags = {"startrail-native-job", "star-glow-native-job", "skyblend-native-job",
                                         "stack"};
  // Star Glow waits for its missing input for the full minute: shortened
  // through its own runner, the others run as they are.
  for (const std::string& j : jobs) {
    if (j.find("star_glow") == std::string::npos) {
      EXPECT_TRUE(host.call("my_start_job_background", CallArg::string(j)).boolean);
    }
  }
  NL_StarGlowJobTiming quick;
  quick.wait.limitMs = 300;
  quick.wait.pollMs = 20;
  NL_runBackgroundJob(jobs[1], [&](NLJobKind kind, const std::string& path) {
    EXPECT_EQ(kind, NLJobKind::StarGlow);
    return NL_runStarGlowNativeJobWithTiming(path, quick);
  });
  ASSERT_TRUE(backgroundJobsEnd());
  for (const std::string& tag : tags) {
    Scene s;
    s.progress = dir.file(tag + "_progress.txt");
    s.log = dir.file(tag + "_result_log.txt");
    expectEnded(s, tag);
    EXPECT_EQ(progressOf(s.progress).stage, "Failed") << tag;
    const std::string detail = progressOf(s.progress).detail;
    EXPECT_FALSE(detail.empty()) << tag;
    EXPECT_NE(readFile(s.log).find(detail), std::string::npos) << tag << ": " << detail << "\n" << readFile(s.log);
  }
  EXPECT_EQ(readFile(dir.file("startrail-native-job_result_log.txt")),
            "Star Trail native job failed.\nstatus=failed\nerror=Star Trail failed: at least two input frames are "
            "required.\n");
}

TEST(BackgroundWorker, AThrowingJobOfEveryKindGetsAFailedEntryAndAFailureLog) {
  TempDir dir;
  struct Case {
    std::string file, label, tag;
  };
  const std::vector<Case> cases = {{"startrail_job_native.json", "Star Trail", "startrail-native-job"},
                                   {"star_glow_job_native.json", "Star Glow", "star-glow-native-job"},
                                   {"skyblend_job_native.json", "Sky Blend", "skyblend-native-job"},
                                   {"stack_job.txt", "Hybrid stack", ""}};
  for (const Case& c : cases) {
    const std::string progress = dir.file(c.file + ".progress"), log = dir.file(c.file + ".log");
    const bool keyValue = c.file == "stack_job.txt";
    writeFile(dir.file(c.file),
              keyValue ? "progress=" + progress + "\nresultLog=" + log + "\n"
                       : "{\"type\": \"" + c.tag + "\", \"inputPath\": \"x.tif\", "
                         "\"progress\": \"" + progress + "\", \"resultLog\": \"" + log + "\"}");
    NL_runBackgroundJob(dir.file(c.file), [&](NLJobKind, const std::string&) -> std::string {
      NL_writeProgressFile(progress, 40, "Stacking", "half way");
      throw std::runtime_error("out of memory while stacking");
    });
    ProgressSnapshot p = progressOf(progress);
    EXPECT_EQ(p.percent, 100) << c.label;
    EXPECT_EQ(p.stage, "Failed") << c.label;
    EXPECT_EQ(p.detail, "out of memory while stacking") << c.label;
    EXPECT_EQ(readFile(log), c.label + " native background job failed.\nstatus=failed\nerror=out of memory while "
                                       "stacking\n");

    NL_runBackgroundJob(dir.file(c.file), [](NLJobKind, const std::string&) -> std::string { throw 7; });
    p = progressOf(progress);
    EXPECT_EQ(p.stage, "Failed") << c.label;
    EXPECT_EQ(p.detail, "Unknown native " + c.label + " background error.");
    EXPECT_EQ(readFile(log), c.label + " native background job failed.\nstatus=failed\nerror=Unknown native " +
                                 c.label + " background error.\n");
  }
}

TEST(BackgroundWorker, OnlyAnEndWrittenByThisRunCountsAsAnEnd) {
  TempDir dir;
  const std::string progress = dir.file("p.txt"), log = dir.file("log.txt");
  const std::string job = dir.file("skyblend_job_native.json");
  writeFile(job, "{\"progress\": \"" + progress + "\", \"resultLog\": \"" + log + "\"}");
  // an earlier run on the same path ended "Completed"
  NL_writeProgressFile(progress, 100, "Completed", "earlier run");
  NL_runBackgroundJob(job, [](NLJobKind kind, const std::string&) {
    EXPECT_EQ(kind, NLJobKind::SkyBlend);
    return std::string("Sky Blend failed: referencePath is empty.");
  });
  ProgressSnapshot p = progressOf(progress);
  EXPECT_EQ(p.stage, "Failed");
  EXPECT_EQ(p.detail, "Sky Blend failed: referencePath is empty.");
  EXPECT_EQ(readFile(log), "Sky Blend failed: referencePath is empty.");

  // a job that ends its own progress is left exactly as it wrote it
  NL_runBackgroundJob(job, [&](NLJobKind, const std::string&) {
    NL_writeProgressFile(progress, 5, "Starting", "");
    NL_writeProgressFile(progress, 100, "Completed", "Blend finished.");
    writeFile(log, "Sky Blend completed.\nstatus=success\n");
    return std::string("Sky Blend completed.\nstatus=success\n");
  });
  p = progressOf(progress);
  EXPECT_EQ(p.stage, "Completed");
  EXPECT_EQ(p.detail, "Blend finished.");
}

TEST_F(AttachedHost, BackgroundCallsAnswerTrueAtOnceOrAnErrorValue) {
  TempDir dir;
  const CallResult missing = host.call("my_start_job_background", CallArg::string(dir.file("gone_job.txt")));
  ASSERT_EQ(missing.kind, ResultKind::Boolean);
  EXPECT_TRUE(missing.boolean);
  EXPECT_EQ(host.call("my_start_job_background").text, "unknown exception");
  EXPECT_EQ(host.call("my_start_job_background", CallArg::boolArg(true)).text, "unknown exception");
  host.failSlot(addon_slot::get_boolean, 1);
  EXPECT_EQ(host.call("my_start_job_background", CallArg::string(dir.file("gone2_job.txt"))).kind,
            ResultKind::Error);
  EXPECT_TRUE(backgroundJobsEnd());
}

// ---- several jobs at once -------------------------------------------------------------

TEST_F(AttachedHost, FiveBackgroundJobsOfFourKindsAtOnceKeepTheirOwnFilesAndTheThreadCount) {
  TempDir dir;
  const Scene trailA = makeScene("trail", dir.file("trail_a"), 21);
  const Scene trailB = makeScene("trail", dir.file("trail_b"), 22);
  withoutRejection(trailB);  // the other runs the registered rejection workers
  const Scene glow = makeScene("glow", dir.file("glow"), 23);
  const Scene sky = makeScene("skyblend", dir.file("sky"), 24);
  const Scene stack = makeScene("stack", dir.file("stack"), 25);
  for (const Scene* s : {&trailA, &trailB, &glow, &sky, &stack}) {
    const CallResult r = host.call("my_start_job_background", CallArg::string(s->files.job));
    EXPECT_EQ(r.kind, ResultKind::Boolean) << s->files.job;
  }
  ASSERT_TRUE(backgroundJobsEnd());
  for (const Scene* s : {&trailA, &trailB, &glow}) {
    expectEnded(*s, s->files.job);
    EXPECT_TRUE(lvhost::resultLogReportsSuccess(readFile(s->log))) << readFile(s->log);
  }
  // each trail log names its own folder's output, never the other's
  EXPECT_NE(readFile(trailA.log).find("output=" + dir.file("trail_a")), std::string::npos);
  EXPECT_NE(readFile(trailB.log).find("output=" + dir.file("trail_b")), std::string::npos);
  EXPECT_NE(readFile(glow.log).find("job = " + glow.files.job), std::string::npos);
  expectSucceededOrNotBuilt(sky, "sky blend");
  expectSucceededOrNotBuilt(stack, "hybrid stack");
  EXPECT_EQ(cv::getNumThreads(), testsupport::OpenCVSetup::threads());
}

// The editor may run one job of each kind at once, again and again: every
// round must end with four successes and the pool's count given back.
TEST_F(AttachedHost, FourJobKindsTogetherRoundAfterRoundAllSucceed) {
  for (int round = 0; round < 6; ++round) {
    TempDir dir;
    // the same skies every round: the rounds are about the overlap, not the scenes
    const std::vector<Scene> scenes = {makeScene("trail", dir.file("trail"), 41), makeScene("glow", dir.file("glow"), 42),
                                       makeScene("skyblend", dir.file("sky"), 43),
                                       makeScene("stack", dir.file("stack"), 25)};
    for (const Scene& s : scenes) {
      const CallResult r = host.call("my_start_job_background", CallArg::string(s.files.job));
      EXPECT_EQ(r.kind, ResultKind::Boolean) << s.files.job;
    }
    ASSERT_TRUE(backgroundJobsEnd()) << "round " << round;
    for (const Scene& s : scenes) {
      expectEnded(s, s.files.job);
      EXPECT_TRUE(lvhost::resultLogReportsSuccess(readFile(s.log))) << "round " << round << "\n" << readFile(s.log);
    }
    EXPECT_EQ(cv::getNumThreads(), testsupport::OpenCVSetup::threads()) << "round " << round;
  }
}

// ---- process-wide state ---------------------------------------------------------------

TEST(OpenCVThreadHold, OverlappingHoldsRestoreTheCountOnlyWhenTheLastEnds) {
  ASSERT_EQ(cv::getNumThreads(), testsupport::OpenCVSetup::threads());
  {
    auto first = std::make_unique<NLOpenCVSingleThreadHold>();
    EXPECT_EQ(cv::getNumThreads(), 1);
    auto second = std::make_unique<NLOpenCVSingleThreadHold>();
    first.reset();  // the first job ends while the second still runs
    EXPECT_EQ(cv::getNumThreads(), 1);
    second.reset();
  }
  EXPECT_EQ(cv::getNumThreads(), testsupport::OpenCVSetup::threads());
  {
    NLOpenCVSingleThreadHold first;
    { NLOpenCVSingleThreadHold second; }
    EXPECT_EQ(cv::getNumThreads(), 1);
  }
  EXPECT_EQ(cv::getNumThreads(), testsupport::OpenCVSetup::threads());
  std::vector<std::thread> jobs;
  for (int i = 0; i < 6; ++i)
    jobs.emplace_back([] {
      for (int k = 0; k < 50; ++k) {
        NLOpenCVSingleThreadHold hold;
        EXPECT_EQ(cv::getNumThreads(), 1);
      }
    });
  for (std::thread& t : jobs) t.join();
  EXPECT_EQ(cv::getNumThreads(), testsupport::OpenCVSetup::threads());
}

// ---- OpenCV's parallel loops beside count changes ----------------------------------

// Every stripe of every loop must run exactly once, however the count changes
// under the loop: OpenCV's own pool was torn down by a count change and
// crashed a loop that another job was running inside it.
TEST(OpenCVPool, CountChangesWhileAnotherJobsLoopsRunNeverBreakALoop) {
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    for (int k = 0; !stop; ++k) {
      NLOpenCVSingleThreadHold hold;  // a Star Trail job starting and ending
      if (k % 3 == 0) cv::setNumThreads(1 + k % 4);
    }
  });
  int brokenLoops = 0;
  for (int loop = 0; loop < 20000; ++loop) {
    std::vector<std::atomic<int>> runs(64);
    cv::parallel_for_(cv::Range(0, 64), [&](const cv::Range& r) {
      std::vector<float> scratch(4096, 1.0f);  // allocates on whichever thread runs the stripe
      for (int i = r.start; i < r.end; ++i) runs[i] += static_cast<int>(scratch[i] + scratch[4095 - i]) / 2;
    });
    for (const std::atomic<int>& n : runs) brokenLoops += n != 1;
  }
  stop = true;
  changer.join();
  cv::setNumThreads(testsupport::OpenCVSetup::threads());
  EXPECT_EQ(brokenLoops, 0);
  EXPECT_EQ(cv::getNumThreads(), testsupport::OpenCVSetup::threads());
}

// Two stripes that each wait for the other to start prove they ran side by
// side; under a hold both must run on the calling thread instead.
TEST(OpenCVPool, LoopsShareTheirStripesAndAHoldKeepsThemOnTheCallingThread) {
  cv::setNumThreads(2);
  std::atomic<int> started{0};
  std::atomic<bool> sideBySide{true};
  cv::parallel_for_(cv::Range(0, 2), [&](const cv::Range& r) {
    for (int i = r.start; i < r.end; ++i) {
      ++started;
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (started < 2 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
      if (started < 2) sideBySide = false;
    }
  });
  EXPECT_TRUE(sideBySide);
  {
    NLOpenCVSingleThreadHold hold;
    EXPECT_EQ(cv::getNumThreads(), 1);
    std::mutex lock;
    std::set<std::thread::id> threads;
    cv::parallel_for_(cv::Range(0, 16), [&](const cv::Range&) {
      std::lock_guard<std::mutex> guard(lock);
      threads.insert(std::this_thread::get_id());
    });
    EXPECT_EQ(threads, std::set<std::thread::id>{std::this_thread::get_id()});
  }
  EXPECT_EQ(cv::getNumThreads(), 2);
  cv::setNumThreads(testsupport::OpenCVSetup::threads());
}

TEST(ProgressWriter, RecordsEntriesAndStagePerPathUnderConcurrentWriters) {
  TempDir dir;
  const std::string shared = dir.file("shared.txt");
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w)
    writers.emplace_back([&, w] {
      const std::string own = dir.file("own_" + std::to_string(w) + ".txt");
      for (int i = 11; i <= 60; ++i) {
        NL_writeProgressFile(own, i, "Stacking", "frame " + std::to_string(i));
        NL_writeProgressFile(shared, i, "Stacking", "writer " + std::to_string(w));
      }
      NL_writeProgressFile(own, 100, "Completed", "done");
    });
  for (std::thread& t : writers) t.join();
  for (int w = 0; w < 4; ++w) {
    const NLProgressRecord r = NL_progressRecord(dir.file("own_" + std::to_string(w) + ".txt"));
    EXPECT_EQ(r.entries, 51u);
    EXPECT_EQ(r.percent, 100);
    EXPECT_EQ(r.stage, "Completed");
    EXPECT_EQ(progressOf(dir.file("own_" + std::to_string(w) + ".txt")).detail, "done");
  }
  EXPECT_EQ(NL_progressRecord(shared).entries, 200u);
  EXPECT_EQ(NL_progressRecord(shared).percent, 60);
  EXPECT_EQ(progressOf(shared).percent, 60);
  EXPECT_EQ(NL_progressRecord(dir.file("never.txt")).entries, 0u);
  EXPECT_TRUE(NL_isFinalProgressStage("Failed"));
  EXPECT_FALSE(NL_isFinalProgressStage("failed"));
}

// ---- the lumivex program ----------------------------------------------------------------

#if defined(LUMIVEX_EXE)
using testsupport::lumivex;
using testsupport::shellQuote;

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(LumivexRunModes, AsyncRunsPrintTheLogAndExitLikeRun) {
  TempDir dir;
  const Scene trail = makeScene("trail", dir.file("trail"), 31);
  withoutRejection(trail);
  const testsupport::ProgramRun ok = lumivex("run --async " + shellQuote(trail.files.job));
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out, readFile(trail.log));
  EXPECT_TRUE(endsWith(ok.err, "progress 100% Completed: Native Star Trail workflow finished.\n")) << ok.err;

  writeFile(dir.file("startrail_job_native.json"),
            "{\"type\": \"startrail-native-job\", \"inputs\": [{\"path\": \"" + trail.files.frames[0] +
                "\"}], \"output\": \"" + dir.file("o.tif") + "\", \"resultLog\": \"" + dir.file("log.txt") + "\"}");
  const testsupport::ProgramRun failed = lumivex("run --async --quiet " + shellQuote(dir.file("startrail_job_native.json")));
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, readFile(dir.file("log.txt")));
  EXPECT_EQ(failed.err, "");

  const testsupport::ProgramRun called = lumivex("call my_echo_async " + shellQuote(trail.files.job));
  EXPECT_EQ(called.status, 0);
  EXPECT_EQ(called.out, "resolved: true\n");
  EXPECT_EQ(lumivex("run --async " + shellQuote(dir.file("missing.json"))).status, 2);
  EXPECT_EQ(lumivex("run --async " + shellQuote(trail.files.job) + " " + shellQuote(trail.files.job)).status, 2);
  EXPECT_EQ(lumivex("run --async --background " + shellQuote(trail.files.job)).status, 2);
}

TEST(LumivexRunModes, FourJobsInTheBackgroundOfOneProcess) {
  TempDir dir;
  const std::vector<Scene> scenes = {makeScene("trail", dir.file("trail"), 41), makeScene("glow", dir.file("glow"), 42),
                                     makeScene("skyblend", dir.file("sky"), 43),
                                     makeScene("stack", dir.file("stack"), 25)};
  std::string args = "run --background";
  for (const Scene& s : scenes) args += " " + shellQuote(s.files.job);
  const testsupport::ProgramRun r = lumivex(args);
  bool allSucceeded = true;
  std::string expectedOut;
  for (const Scene& s : scenes) {
    expectEnded(s, s.files.job);
    const std::string log = readFile(s.log);
    allSucceeded = allSucceeded && lvhost::resultLogReportsSuccess(log);
    expectedOut += "== " + s.files.job + " ==\n" + log + (endsWith(log, "\n") ? "" : "\n");
    // each job's progress lines carry its own file name
    const std::string name = s.files.job.substr(s.files.job.rfind('/') + 1);
    EXPECT_NE(r.err.find(name + ": progress "), std::string::npos) << name << "\n" << r.err;
  }
  EXPECT_EQ(r.out, expectedOut);
  EXPECT_EQ(r.status, allSucceeded ? 0 : 1) << r.err;
  EXPECT_TRUE(lvhost::resultLogReportsSuccess(readFile(scenes[0].log)));
  EXPECT_TRUE(lvhost::resultLogReportsSuccess(readFile(scenes[1].log)));

  // a background job is followed through its result log: one that names none is refused
  writeFile(dir.file("nolog_job.txt"), "method=auto\nprogress=" + dir.file("p.txt") + "\n");
  const testsupport::ProgramRun refused = lumivex("run --background " + shellQuote(dir.file("nolog_job.txt")));
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("names no result log"), std::string::npos) << refused.err;
}
#endif

}  // namespace
