// An add-on module built against a function that no library it loads
// defines, as a module built on a newer system than it runs on would be.
// Its entry point never calls it: only a job would, so the host has to
// refuse the module when loading it, not the loader stop the process in
// the middle of a job.
extern "C" int lumivex_test_function_nobody_defines(int);

extern "C" __attribute__((visibility("default"))) int lumivex_test_job(int frames) {
  return lumivex_test_function_nobody_defines(frames);
}

extern "C" __attribute__((visibility("default"))) void* uxp_addon_init(void*, void* exports, const void*) {
  return exports;
}
