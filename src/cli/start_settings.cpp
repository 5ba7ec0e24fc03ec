// What the tool's libraries read only when they start: idle OpenMP threads that sleep, and
// large memory pages for the tool's allocations where the system gives them on request.
//
// oneDNN (the salient network) runs on libgomp's threads, which by default spin for a while
// after each parallel region, on the cores the picture's other work (OpenCV's TBB threads, the
// GrabCuts, the PNG's deflate) needs at that very moment. Told to sleep at once
// (OMP_WAIT_POLICY=PASSIVE, read only when libgomp starts), a 12-megapixel subject took 0.70 ->
// 0.62 s and the shuttle's object 0.81 -> 0.75 s (medians of 5). A policy the caller set is
// left alone.
//
// A run touches hundreds of megabytes of fresh memory (decoded frames, pictures of 12
// megapixels, the networks' activations), and the first touch of every 4-KiB page is a trap
// into the kernel, a costly one on a virtual machine: a third of a 12-megapixel object cut's
// time went there. Where the kernel hands out transparent huge pages to the programs that ask
// for them ("madvise" in /sys/kernel/mm/transparent_hugepage/enabled), the tool starts itself
// again, once, with glibc's allocator told to ask (the glibc.malloc.hugetlb tunable, which is
// read only at start-up). Measured on the 12-megapixel pictures: a printer's cut-out 1.32 ->
// 0.81 s, the subject 1.27 -> 0.91 s, with the same peak memory.
//
// This runs from the executable's pre-initialisation array: after the dynamic loader, before any
// library's initialisers (OpenCV's, FFmpeg's, dlib's), which are most of a start's cost, so the
// restart costs little more than the exec, and before libgomp reads its settings. It allocates
// nothing and uses no stdio. A tunable the caller set either way is left alone, and so is a
// kernel that gives large pages to every program or to none; when the exec fails the run goes
// on as it is.
#include <cstddef>
#include <cstring>

#include <fcntl.h>
#include <sys/auxv.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr char kWaitPolicy[] = "OMP_WAIT_POLICY=";
constexpr char kPassive[] = "OMP_WAIT_POLICY=PASSIVE";
constexpr char kVariable[] = "GLIBC_TUNABLES=";
constexpr char kTunable[] = "glibc.malloc.hugetlb";
constexpr char kAsk[] = "glibc.malloc.hugetlb=1";
constexpr char kModes[] = "/sys/kernel/mm/transparent_hugepage/enabled";
// Room for the environment and the variable's new value; larger ones are left as they are.
constexpr size_t kMostVariables = 4096;
constexpr size_t kLongestSetting = 4096;

bool kernelGivesOnRequest() {
  const int fd = open(kModes, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[128] = {};
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  return got > 0 && std::strstr(text, "[madvise]") != nullptr;
}

// The commands that gain: a picture's and a video's segmentation fill large fresh buffers on
// every frame or picture. The trackers and skin measured the same or slower (face tracking 3.26
// -> 3.47 s on a 12-second clip), and keep the allocator as it is.
bool gains(const char* command) {
  return command && (std::strcmp(command, "image") == 0 || std::strcmp(command, "video") == 0);
}

// The environment with OMP_WAIT_POLICY=PASSIVE added, made the process's own; `envp` as it is
// when the caller set a policy or there is no room.
char** withSleepingThreads(char** envp) {
  if (!envp) return envp;
  size_t count = 0;
  for (char** e = envp; *e; ++e, ++count)
    if (std::strncmp(*e, kWaitPolicy, sizeof kWaitPolicy - 1) == 0) return envp;
  if (count + 2 > kMostVariables) return envp;
  static char* environment[kMostVariables];
  for (size_t i = 0; i < count; ++i) environment[i] = envp[i];
  environment[count] = const_cast<char*>(kPassive);
  environment[count + 1] = nullptr;
  environ = environment;
  return environment;
}

void restartWithLargePages(int argc, char** argv, char** envp) {
  if (argc < 2 || !argv || !argv[0] || !envp || !gains(argv[1])) return;
  const size_t prefix = sizeof kVariable - 1;
  const char* given = nullptr;
  size_t count = 0;
  for (char** e = envp; *e; ++e, ++count)
    if (std::strncmp(*e, kVariable, prefix) == 0) given = *e + prefix;
  if (given && std::strstr(given, kTunable)) return;
  if (count + 2 > kMostVariables || !kernelGivesOnRequest()) return;

  static char setting[kLongestSetting];
  const size_t before = given ? std::strlen(given) : 0;
  if (prefix + before + 1 + sizeof kAsk > sizeof setting) return;
  char* at = setting;
  std::memcpy(at, kVariable, prefix);
  at += prefix;
  if (before > 0) {
    std::memcpy(at, given, before);
    at += before;
    *at++ = ':';
  }
  std::memcpy(at, kAsk, sizeof kAsk);  // with its terminating zero

  static char* environment[kMostVariables];
  size_t kept = 0;
  for (char** e = envp; *e; ++e)
    if (std::strncmp(*e, kVariable, prefix) != 0) environment[kept++] = *e;
  environment[kept++] = setting;
  environment[kept] = nullptr;
  // The file this process was started from, as the exec named it; /proc's link when that is
  // gone.
  const char* self = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (self) execve(self, argv, environment);
  execve("/proc/self/exe", argv, environment);
}

void startSettings(int argc, char** argv, char** envp) {
  restartWithLargePages(argc, argv, withSleepingThreads(envp));
}

}  // namespace

__attribute__((section(".preinit_array"), used)) static void (*const settleEarly)(
    int, char**, char**) = startSettings;
