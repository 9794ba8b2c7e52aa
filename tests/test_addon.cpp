// The add-on boundary through the stand-in host: Value conversions, the
// entry point and export table, error values, job routing, and the host's
// own scheduling and promises.
#include "addon/addon.h"
#include "addon/dispatch.h"
#include "addon/job_kinds.h"
#include "addon/value.h"
#include "standin/host.h"
#include "synth/job_files.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <thread>

namespace {

using lvhost::CallArg;
using lvhost::CallResult;
using lvhost::ResultKind;
using lvhost::StandinHost;

// The C string a failing call threw, or "" when it did not throw one.
template <typename F>
std::string thrownText(F&& f) {
  try {
    f();
  } catch (const char* text) {
    return text;
  } catch (...) {
    return "(other exception)";
  }
  return "";
}

// A host the boundary's table points at, without the module's exports.
struct BoundHost {
  StandinHost host;
  BoundHost() { UxpAddonInterface::instance().assign(host.apis()); }
  const addon_apis& api() const { return host.apis(); }
  addon_env env() const { return host.env(); }
  addon_value str(const std::string& s) const {
    addon_value v = nullptr;
    EXPECT_EQ(api().create_string_utf8(env(), s.data(), s.size(), &v), addon_ok);
    return v;
  }
  std::vector<std::string> keys(addon_value object) const {
    addon_value names = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(api().get_property_names(env(), object, &names), addon_ok);
    EXPECT_EQ(api().get_array_length(env(), names, &n), addon_ok);
    std::vector<std::string> out;
    for (uint32_t i = 0; i < n; ++i) {
      addon_value k = nullptr;
      api().get_element(env(), names, i, &k);
      out.push_back(GetString(api(), env(), k));
    }
    return out;
  }
};

bool sameValue(const Value& a, const Value& b) {
  if (a.GetKind() != b.GetKind()) return false;
  switch (a.GetKind()) {
    case Value::Undefined: return true;
    case Value::Boolean: return a.GetBoolean() == b.GetBoolean();
    case Value::Number: return a.GetNumber() == b.GetNumber();
    case Value::String: return a.GetString() == b.GetString();
    case Value::List: {
      if (a.GetList().size() != b.GetList().size()) return false;
      for (size_t i = 0; i < a.GetList().size(); ++i) {
        if (!sameValue(a.GetList()[i], b.GetList()[i])) return false;
      }
      return true;
    }
    case Value::Map: {
      if (a.GetMap().size() != b.GetMap().size()) return false;
      auto j = b.GetMap().begin();
      for (const auto& entry : a.GetMap()) {
        if (entry.first != j->first || !sameValue(entry.second, j->second)) return false;
        ++j;
      }
      return true;
    }
  }
  return false;
}

Value sampleTree() {
  Value root(Value::Map);
  auto& m = root.GetMap();
  m.emplace("zeta", Value(2.5));
  m.emplace("Alpha", Value(true));
  m.emplace("alpha", Value(std::string("")));
  m.emplace("beta", Value());
  Value list(Value::List);
  list.GetList().emplace_back(-0.125);
  list.GetList().emplace_back("frame_001.tif");
  Value inner(Value::Map);
  inner.GetMap().emplace("k", Value(false));
  Value deeper(Value::List);
  deeper.GetList().emplace_back(Value(Value::List));  // an empty list inside a list inside a map
  inner.GetMap().emplace("deep", std::move(deeper));
  list.GetList().push_back(std::move(inner));
  m.emplace("list", std::move(list));
  return root;
}

TEST(AddonTable, HoldsNinetySevenSlotsAndIsCopiedWhole) {
  static_assert(sizeof(addon_apis) == 97 * sizeof(void*), "97 slots");
  EXPECT_EQ(offsetof(addon_apis, schedule_on_scripting_thread), 91 * sizeof(void*));
  StandinHost host;
  std::string error;
  ASSERT_TRUE(host.attach(uxp_addon_init, error)) << error;
  EXPECT_EQ(std::memcmp(&UxpAddonInterface::instance().apis(), &host.apis(), sizeof(addon_apis)), 0);
}

TEST(Value, RoundTripThroughHostKeepsStructureAndOrdersKeys) {
  BoundHost h;
  const Value original = sampleTree();
  addon_value hostValue = Value::ConvertValue(h.env(), original);
  // keys were set in ascending byte order: capitals sort first
  EXPECT_EQ(h.keys(hostValue), (std::vector<std::string>{"Alpha", "alpha", "beta", "list", "zeta"}));
  const Value back(h.env(), hostValue);
  EXPECT_TRUE(sameValue(original, back));
  // and once more through the host: nothing drifts
  const Value again(h.env(), back.Convert(h.env()));
  EXPECT_TRUE(sameValue(original, again));
}

TEST(Value, StringsZeroBytesAndEmptyStrings) {
  BoundHost h;
  const std::string withZero("job\0tail", 8);
  addon_value hostString = Value::ConvertValue(h.env(), Value(std::string(withZero)));
  size_t length = 0;
  ASSERT_EQ(h.api().get_value_string_utf8(h.env(), hostString, nullptr, 0, &length), addon_ok);
  EXPECT_EQ(length, 8u);  // the host receives every byte
  EXPECT_EQ(Value(h.env(), hostString).GetString(), "job");  // the reader stops at the zero byte

  addon_value empty = h.str("");
  const int before = h.host.slotCalls(addon_slot::get_value_string_utf8);
  const Value e(h.env(), empty);
  EXPECT_EQ(e.GetKind(), Value::String);
  EXPECT_EQ(e.GetString(), "");
  EXPECT_EQ(h.host.slotCalls(addon_slot::get_value_string_utf8) - before, 1);

  const std::string utf8 = "Milchstra\xc3\x9f" "e \xe2\x98\x85";
  EXPECT_EQ(Value(h.env(), h.str(utf8)).GetString(), utf8);
}

TEST(Value, HostArraysBecomeListsAndObjectsMaps) {
  BoundHost h;
  addon_value array = nullptr, object = nullptr, x = nullptr, y = nullptr;
  ASSERT_EQ(h.api().create_array(h.env(), &array), addon_ok);
  h.api().create_double(h.env(), 7.0, &x);
  h.api().get_boolean(h.env(), true, &y);
  h.api().set_element(h.env(), array, 0, x);
  h.api().set_element(h.env(), array, 1, y);
  addon_valuetype type = 0;
  h.api().type_of(h.env(), array, &type);
  EXPECT_NE(type, addon_type_object);
  const Value list(h.env(), array);
  ASSERT_EQ(list.GetKind(), Value::List);
  ASSERT_EQ(list.GetList().size(), 2u);
  EXPECT_EQ(list.GetList()[0].GetNumber(), 7.0);
  EXPECT_TRUE(list.GetList()[1].GetBoolean());

  // an object with index-like keys is still an object: type code 6 means Map
  h.api().create_object(h.env(), &object);
  h.api().set_named_property(h.env(), object, "1", x);
  h.api().set_named_property(h.env(), object, "0", array);
  const Value map(h.env(), object);
  ASSERT_EQ(map.GetKind(), Value::Map);
  EXPECT_EQ(map.GetMap().begin()->first, "0");
  EXPECT_EQ(map.GetMap().at("0").GetKind(), Value::List);

  addon_value function = nullptr;
  h.api().create_function(h.env(), nullptr, 0, [](addon_env, addon_callback_info) -> addon_value { return nullptr; },
                          nullptr, &function);
  EXPECT_EQ(thrownText([&] { Value v(h.env(), function); }), "unsupported type");

  // a script object that holds itself is refused, not followed until the stack runs out
  addon_value loop = nullptr;
  h.api().create_object(h.env(), &loop);
  h.api().set_named_property(h.env(), loop, "self", loop);
  EXPECT_EQ(thrownText([&] { Value v(h.env(), loop); }), "unsupported type");
}

TEST(Value, KindRulesAndMoves) {
  EXPECT_EQ(thrownText([] { Value v(Value::Number); }), "invalid kind");
  EXPECT_EQ(thrownText([] { Value v(Value::Undefined); }), "invalid kind");
  Value text("abc");  // a literal is a string, not a bool
  EXPECT_EQ(text.GetKind(), Value::String);
  EXPECT_EQ(thrownText([&] { text.GetNumber(); }), "Incorrect value kind");
  EXPECT_EQ(thrownText([&] { text.GetList(); }), "Incorrect value kind");
  EXPECT_EQ(thrownText([&] { Value().GetString(); }), "Incorrect value kind");
  std::string source = "taken";
  Value owner(std::move(source));
  EXPECT_TRUE(source.empty());
  Value moved(std::move(owner));
  EXPECT_EQ(moved.GetString(), "taken");
  EXPECT_EQ(owner.GetKind(), Value::String);  // keeps its kind, owns nothing
  EXPECT_EQ(owner.GetString(), "");
  Value list(Value::List);
  list.GetList().emplace_back(1.0);
  Value target(true);
  target = std::move(list);
  EXPECT_EQ(target.GetList().size(), 1u);
}

TEST(Value, EveryHostFailureThrowsError) {
  BoundHost h;
  addon_value s = h.str("abc");
  h.host.failSlot(addon_slot::type_of, 1);
  EXPECT_EQ(thrownText([&] { Value v(h.env(), s); }), "error");
  h.host.failSlot(addon_slot::get_value_string_utf8, 1, 1);  // the second read, with the buffer
  EXPECT_EQ(thrownText([&] { Value v(h.env(), s); }), "error");
  const Value tree = sampleTree();
  for (int slot : {addon_slot::create_object, addon_slot::create_array, addon_slot::set_property,
                   addon_slot::set_element, addon_slot::create_double, addon_slot::get_boolean,
                   addon_slot::get_undefined, addon_slot::create_string_utf8}) {
    h.host.failSlot(slot, 1);
    EXPECT_EQ(thrownText([&] { Value::ConvertValue(h.env(), tree); }), "error") << "slot " << slot;
    h.host.clearFailures();
  }
  addon_value object = Value::ConvertValue(h.env(), tree);
  for (int slot : {addon_slot::get_property_names, addon_slot::get_array_length, addon_slot::get_element,
                   addon_slot::get_property, addon_slot::is_array, addon_slot::get_value_double}) {
    h.host.failSlot(slot, 1);
    EXPECT_EQ(thrownText([&] { Value v(h.env(), object); }), "error") << "slot " << slot;
    h.host.clearFailures();
  }
}

struct AttachedHost : ::testing::Test {
  StandinHost host;
  void attach() {
    std::string error;
    ASSERT_TRUE(host.attach(uxp_addon_init, error)) << error;
  }
};

TEST_F(AttachedHost, ExportsAreRegisteredInOrderAndAnswer) {
  attach();
  EXPECT_EQ(host.exportNames(), (std::vector<std::string>{"my_function", "my_echo", "my_start_job_background",
                                                          "my_echo_async"}));
  EXPECT_EQ(host.initError(), "");
  const CallResult banner = host.call("my_function");
  ASSERT_EQ(banner.kind, ResultKind::String);
  EXPECT_EQ(banner.text, "Lumivex Native Addon 0.1.0");
  EXPECT_EQ(host.call("no_such_export").kind, ResultKind::NoSuchExport);
}

TEST_F(AttachedHost, RegistrationFailuresLeavePendingErrorsButContinue) {
  host.failSlot(addon_slot::create_function, 1, 2);  // only the third export fails to wrap
  attach();
  EXPECT_EQ(host.initError(), "Unable to wrap native function");
  EXPECT_EQ(host.exportNames(), (std::vector<std::string>{"my_function", "my_echo", "my_echo_async"}));
  EXPECT_EQ(host.call("my_echo_async").kind, ResultKind::Error);
}

TEST(AddonEntry, PopulateFailureIsReportedAndExportsStillReturned) {
  StandinHost host;
  host.failSlot(addon_slot::set_named_property);
  std::string error;
  EXPECT_TRUE(host.attach(uxp_addon_init, error)) << error;
  EXPECT_EQ(host.initError(), "Unable to populate exports");
  EXPECT_TRUE(host.exportNames().empty());
  EXPECT_EQ(host.slotCalls(addon_slot::create_function), 4);  // every export was still tried
}

TEST_F(AttachedHost, BadArgumentsAndHostFailuresBecomeErrorValues) {
  attach();
  auto expectUnknown = [&](const CallResult& r, const char* what) {
    EXPECT_EQ(r.kind, ResultKind::Error) << what;
    EXPECT_EQ(r.code, "-1") << what;
    EXPECT_EQ(r.text, "unknown exception") << what;
    EXPECT_FALSE(r.threw) << what;
  };
  expectUnknown(host.call("my_echo"), "no argument");
  expectUnknown(host.call("my_echo", CallArg::numberArg(3)), "number");
  expectUnknown(host.call("my_echo", CallArg::boolArg(true)), "bool");
  host.failSlot(addon_slot::get_callback_info, 1);
  expectUnknown(host.call("my_echo", CallArg::string("x.txt")), "get_callback_info");
  host.failSlot(addon_slot::create_string_utf8, 1);
  expectUnknown(host.call("my_function"), "create_string_utf8 once");

  expectUnknown(host.call("my_start_job_background", CallArg::numberArg(1)), "background, number");
  expectUnknown(host.call("my_echo_async", CallArg::boolArg(false)), "async, bool");

  // a host that cannot build even the error value gets no value, not a crash
  host.failSlot(addon_slot::create_string_utf8);
  EXPECT_EQ(host.call("my_function").kind, ResultKind::NullHandle);
  host.clearFailures();
  host.failSlot(addon_slot::create_error, 1);
  EXPECT_EQ(host.call("my_echo").kind, ResultKind::NullHandle);
}

TEST(JobRouting, PathMarkersComeBeforeContentMarkers) {
  testsupport::TempDir dir;
  auto job = [&](const std::string& name, const std::string& text) {
    testsupport::writeFile(dir.file(name), text);
    return dir.file(name);
  };
  EXPECT_EQ(NL_detectJobKind(dir.file("skyblend_job_native.json")), NLJobKind::SkyBlend);  // missing file
  EXPECT_EQ(NL_detectJobKind(job("startrail_job_native.json", "{\"type\":\"star-glow-native-job\"}")),
            NLJobKind::StarTrail);
  EXPECT_EQ(NL_detectJobKind(job("star_glow_job_native.json", "{\"skyMaskPath\":\"m.png\"}")), NLJobKind::StarGlow);
  EXPECT_EQ(NL_detectJobKind(job("a.json", "{\"type\":\"startrail-native-job\",\"skyMaskPath\":\"\"}")),
            NLJobKind::StarTrail);
  EXPECT_EQ(NL_detectJobKind(job("b.json", "{\"type\":\"star-glow-native-job\",\"referencePath\":\"\"}")),
            NLJobKind::StarGlow);
  EXPECT_EQ(NL_detectJobKind(job("c.txt", "method=auto\n# referencePath was here\ninput=a.tif\n")),
            NLJobKind::SkyBlend);
  EXPECT_EQ(NL_detectJobKind(job("d.json", "{\"outputs\": {}}")), NLJobKind::SkyBlend);
  EXPECT_EQ(NL_detectJobKind(job("e.txt", "method=auto\noutput=outputs.tif\n")), NLJobKind::HybridStack);
  EXPECT_EQ(NL_detectJobKind(job("f.txt", "skyblend-native-job")), NLJobKind::SkyBlend);
  EXPECT_EQ(NL_detectJobKind(dir.file("missing.txt")), NLJobKind::HybridStack);
}

// The table of job kinds: each row's path marker and each of its content
// markers route a job file to that row, earlier rows win, the last row takes
// what no row recognises, and a job file complete by a row's start-up
// handshake is one that row's content test recognises too.
TEST(JobRouting, EveryRowOfTheKindTableRoutesByItsOwnMarkers) {
  testsupport::TempDir dir;
  const std::vector<NLJobKindRow>& rows = NL_jobKinds();
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.back().pathMarker, nullptr);
  EXPECT_TRUE(rows.back().contentMarkers.empty());
  int file = 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    const NLJobKindRow& row = rows[r];
    SCOPED_TRACE(row.label);
    EXPECT_EQ(&NL_jobKindRow(row.kind), &row);
    if (!row.pathMarker) continue;
    EXPECT_EQ(NL_detectJobKind(dir.file(std::string("a_") + row.pathMarker + ".json")), row.kind);  // missing file
    for (const char* marker : row.contentMarkers) {
      const std::string path = dir.file("job" + std::to_string(file++) + ".json");
      testsupport::writeFile(path, std::string("{\"type\":\"") + marker + "\"}");
      EXPECT_EQ(NL_detectJobKind(path), row.kind) << marker;
    }
    if (row.handshakeAttempts <= 0) continue;
    std::string complete;
    for (const char* marker : row.handshakeMarkers) complete += std::string(marker) + "\n";
    const std::string path = dir.file("handshake" + std::to_string(r) + ".json");
    testsupport::writeFile(path, complete);
    EXPECT_TRUE(NL_jobFileIsOfKind(row, path));
  }
  const std::string plain = dir.file("plain.txt");
  testsupport::writeFile(plain, "method=auto\ninput=a.tif\n");
  EXPECT_EQ(NL_detectJobKind(plain), rows.back().kind);
}

// What the lumivex program follows and cancels: the progress file, result
// log and outputs each job reads from its own file, under any file name.
TEST(JobRouting, EveryKindsReportsAreFoundWhereItsJobWritesThem) {
  testsupport::TempDir dir;
  const std::pair<synth::JobKind, NLJobKind> kinds[] = {{synth::JobKind::StarTrail, NLJobKind::StarTrail},
                                                       {synth::JobKind::StarGlow, NLJobKind::StarGlow},
                                                       {synth::JobKind::SkyBlend, NLJobKind::SkyBlend},
                                                       {synth::JobKind::HybridStack, NLJobKind::HybridStack}};
  int n = 0;
  for (const auto& [synthKind, kind] : kinds) {
    synth::JobPaths paths;
    const std::string tag = std::to_string(n++);
    paths.inputs = {dir.file("f1.tif"), dir.file("f2.tif")};
    paths.output = dir.file("out" + tag + ".tif");
    paths.skyOutput = dir.file("sky" + tag + ".tif"), paths.foregroundOutput = dir.file("fg" + tag + ".tif");
    paths.blendOutput = dir.file("blend" + tag + ".tif");
    paths.skyMask = dir.file("mask.png"), paths.reference = paths.inputs[0];
    paths.progress = dir.file("p" + tag + ".txt"), paths.resultLog = dir.file("log" + tag + ".txt");
    // a plain name: the kind is known from the text alone, as a script's own file
    const std::string job = dir.file("job" + tag + (synthKind == synth::JobKind::HybridStack ? ".txt" : ".json"));
    testsupport::writeFile(job, synth::jobFileText(synthKind, paths, {}));
    ASSERT_EQ(NL_detectJobKind(job), kind) << tag;
    const NLJobFiles files = NL_jobFilesFor(job);
    EXPECT_EQ(files.progress, paths.progress) << tag;
    EXPECT_EQ(files.resultLog, paths.resultLog) << tag;
    const std::string named = synthKind == synth::JobKind::SkyBlend ? paths.blendOutput : paths.output;
    bool outputListed = false;
    for (const NLJobPath& out : files.paths.outputs) outputListed = outputListed || out.path == named;
    EXPECT_TRUE(outputListed) << tag;
  }
  const NLJobFiles none = NL_jobFilesFor(dir.file("startrail_job_native_missing.json"));
  EXPECT_TRUE(none.progress.empty() && none.resultLog.empty());
}

TEST_F(AttachedHost, MyEchoRunsTheRoutedJob) {
  attach();
  testsupport::TempDir dir;
  const CallResult sky = host.call("my_echo", CallArg::string(dir.file("skyblend_job_native.json")));
  ASSERT_EQ(sky.kind, ResultKind::String);
  EXPECT_EQ(sky.text.rfind("Sky Blend", 0), 0u) << sky.text;
  testsupport::writeFile(dir.file("hybrid.txt"), "method=auto\nreferencePath=x\n");
  const CallResult hybridWithKey = host.call("my_echo", CallArg::string(dir.file("hybrid.txt")));
  ASSERT_EQ(hybridWithKey.kind, ResultKind::String);
  EXPECT_EQ(hybridWithKey.text.rfind("Sky Blend", 0), 0u) << hybridWithKey.text;
}

// ---- the stand-in host itself ------------------------------------------------

struct Trace {
  std::mutex m;
  std::vector<std::string> events;
  std::thread::id callbackThread;
  void add(const std::string& e) {
    std::lock_guard<std::mutex> lock(m);
    events.push_back(e);
  }
};

TEST(StandinHost, SchedulingRunsCallbackThenFinalizerOnItsOwnThread) {
  StandinHost host;
  std::thread::id scripting;
  host.runOnScriptingThread([&] { scripting = std::this_thread::get_id(); });
  EXPECT_NE(scripting, std::this_thread::get_id());
  Trace mainTrace, scriptTrace;
  auto callback = [](void* d) {
    auto* t = static_cast<Trace*>(d);
    t->callbackThread = std::this_thread::get_id();
    t->add("callback");
  };
  auto finalizer = [](void* d) { static_cast<Trace*>(d)->add("finalizer"); };
  ASSERT_EQ(host.apis().schedule_on_main_thread(host.env(), callback, &mainTrace, finalizer), addon_ok);
  ASSERT_EQ(host.apis().schedule_on_scripting_thread(host.env(), callback, &scriptTrace, finalizer), addon_ok);
  host.runOnScriptingThread([] {});  // the scripting queue runs in order: its task is done now
  EXPECT_EQ(scriptTrace.callbackThread, scripting);
  EXPECT_EQ(scriptTrace.events, (std::vector<std::string>{"callback", "finalizer"}));
  for (int i = 0; i < 500; ++i) {
    std::lock_guard<std::mutex> lock(mainTrace.m);
    if (mainTrace.events.size() == 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard<std::mutex> lock(mainTrace.m);
  EXPECT_EQ(mainTrace.events, (std::vector<std::string>{"callback", "finalizer"}));
  EXPECT_NE(mainTrace.callbackThread, scripting);
  EXPECT_NE(mainTrace.callbackThread, std::this_thread::get_id());
}

// A test add-on whose exports return promises settled through both threads,
// the way an asynchronous export does.
struct PromiseJob {
  addon_env env;
  addon_deferred deferred;
  bool reject;
};

const addon_apis* gTestApis = nullptr;

void settleOnScripting(void* data) {
  auto* job = static_cast<PromiseJob*>(data);
  addon_value v = nullptr;
  gTestApis->create_string_utf8(job->env, "done", 4, &v);
  if (job->reject) {
    gTestApis->reject_deferred(job->env, job->deferred, v);
  } else {
    gTestApis->resolve_deferred(job->env, job->deferred, v);
  }
}

void hopToScripting(void* data) {
  auto* job = static_cast<PromiseJob*>(data);
  gTestApis->schedule_on_scripting_thread(job->env, settleOnScripting, job, [](void* d) {
    delete static_cast<PromiseJob*>(d);
  });
}

addon_value startPromise(addon_env env, addon_callback_info info) {
  size_t argc = 1;
  addon_value arg = nullptr;
  gTestApis->get_callback_info(env, info, &argc, &arg, nullptr, nullptr);
  bool reject = false;
  gTestApis->get_value_bool(env, arg, &reject);
  addon_deferred deferred = nullptr;
  addon_value promise = nullptr;
  gTestApis->create_promise(env, &deferred, &promise);
  gTestApis->schedule_on_main_thread(env, hopToScripting, new PromiseJob{env, deferred, reject}, nullptr);
  return promise;
}

addon_value neverSettles(addon_env env, addon_callback_info) {
  addon_deferred deferred = nullptr;
  addon_value promise = nullptr;
  gTestApis->create_promise(env, &deferred, &promise);
  return promise;
}

addon_value initPromiseAddon(addon_env env, addon_value exports, const addon_apis* apis) {
  gTestApis = apis;
  addon_value f = nullptr, g = nullptr;
  apis->create_function(env, nullptr, 0, startPromise, nullptr, &f);
  apis->set_named_property(env, exports, "start", f);
  apis->create_function(env, nullptr, 0, neverSettles, nullptr, &g);
  apis->set_named_property(env, exports, "never", g);
  return exports;
}

TEST(StandinHost, PromisesAreAwaitedThroughBothThreads) {
  StandinHost host;
  std::string error;
  ASSERT_TRUE(host.attach(initPromiseAddon, error)) << error;
  const CallResult resolved = host.call("start", CallArg::boolArg(false));
  ASSERT_EQ(resolved.kind, ResultKind::Resolved);
  EXPECT_EQ(lvhost::describeResult(resolved), "resolved: done");
  const CallResult rejected = host.call("start", CallArg::boolArg(true));
  ASSERT_EQ(rejected.kind, ResultKind::Rejected);
  EXPECT_EQ(lvhost::describeResult(rejected), "rejected: done");
  EXPECT_EQ(host.call("never").kind, ResultKind::Pending);  // nothing queued could settle it: no hang
}

TEST(StandinHost, TablesScopesErrorsAndRenderings) {
  BoundHost h;
  addon_handle_scope outer = nullptr, inner = nullptr;
  ASSERT_EQ(h.api().open_handle_scope(h.env(), &outer), addon_ok);
  ASSERT_EQ(h.api().open_handle_scope(h.env(), &inner), addon_ok);
  EXPECT_NE(h.api().close_handle_scope(h.env(), outer), addon_ok);  // innermost first
  EXPECT_EQ(h.api().close_handle_scope(h.env(), inner), addon_ok);
  EXPECT_EQ(h.api().close_handle_scope(h.env(), outer), addon_ok);

  addon_value err = nullptr;
  ASSERT_EQ(h.api().create_error(h.env(), h.str("-1"), h.str("boom"), &err), addon_ok);
  EXPECT_EQ(lvhost::describeResult(h.host.inspect(err)), "error: -1: boom");
  EXPECT_EQ(h.api().throw_error(h.env(), nullptr, "first"), addon_ok);
  h.api().throw_error(h.env(), nullptr, "second");
  std::string code, message;
  ASSERT_TRUE(h.host.takePendingError(code, message));
  EXPECT_EQ(message, "first");
  EXPECT_FALSE(h.host.takePendingError(code, message));

  addon_value n = nullptr;
  h.api().create_double(h.env(), 0.1, &n);
  EXPECT_EQ(lvhost::describeResult(h.host.inspect(n)), "0.1");
  h.api().create_double(h.env(), 3.0, &n);
  EXPECT_EQ(lvhost::describeResult(h.host.inspect(n)), "3");
  const Value tree = sampleTree();
  EXPECT_EQ(lvhost::describeResult(h.host.inspect(tree.Convert(h.env()))),
            "{Alpha: true, alpha: \"\", beta: undefined, list: [-0.125, \"frame_001.tif\", {deep: [[]], k: false}], "
            "zeta: 2.5}");
  char buffer[4] = {'x', 'x', 'x', 'x'};
  size_t copied = 0;
  ASSERT_EQ(h.api().get_value_string_utf8(h.env(), h.str("abcdef"), buffer, sizeof buffer, &copied), addon_ok);
  EXPECT_EQ(copied, 3u);
  EXPECT_STREQ(buffer, "abc");
}

}  // namespace
