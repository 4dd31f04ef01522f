/* Start-up benchmark of the payment module against the floor of any CGI
 * program (bench/baseline.c).
 *
 *   revozi_bench run RUNS BASELINE VALID LOCALHOST ERROR PING [MEMOFF MEMON] [OTHER...]
 *       Runs each case RUNS times, round-robin in a new shuffled order every
 *       round, so machine noise hits every case alike, and prints per case
 *       the median wall time, the median CPU time (user+sys of the child,
 *       from wait4) and the peak resident memory (ru_maxrss of the child),
 *       each with its ratio to the baseline's. The cases: BASELINE; a valid
 *       request reaching the payment page with 127.0.0.1 server URLs (VALID)
 *       and with "localhost" ones (LOCALHOST); a request failing validation
 *       (ERROR: the error page runs "uname -a"); a ping (PING). VALID to PING
 *       are copies of the module, one file per case: every program file is
 *       then executed once per round, as the baseline's is (a file executed
 *       more often stays warmer in the caches and would look faster). Each
 *       OTHER is a pair of copies of another build of the module (an older
 *       commit, other build options): it adds its own valid-request cases,
 *       127.0.0.1 and localhost, and the ratios of this module's wall times to
 *       its. The requests probe a listener on 127.0.0.1 that this program
 *       runs; every server URL is loopback. With REVOZI_BENCH_STATE_DIR,
 *       MEMOFF and MEMON are two more copies: the valid request under the
 *       lock, the servers from the environment, with the server memory off
 *       and on (that directory), and the ratio of their wall times.
 *   revozi_bench networks RUNS MODULE...
 *       The time to the payment page when the primary server's first address
 *       is blackholed, and when its name server never answers: RUNS runs of
 *       each case per MODULE, the median and the server the page went to.
 *       Run in private network and mount namespaces where /etc/hosts gives
 *       pay.bench.test the addresses 127.0.0.2 then 127.0.0.1, and
 *       /etc/resolv.conf names only 127.0.0.53: this program listens on
 *       127.0.0.1, fills the queue of a listener on 127.0.0.2 that never
 *       accepts (a connection to it stays pending) and holds UDP port 53 of
 *       127.0.0.53 without ever answering. The time-outs are the defaults;
 *       the backups are 127.0.0.1. With REVOZI_BENCH_STATE_DIR, then 20
 *       shoppers in a row to the last MODULE with 127.0.0.2 as the primary
 *       (blackholed, 2-second time-out), the server memory off, then on.
 *   revozi_bench serve PORT_FILE SECONDS
 *       A payment server that accepts: listens on 127.0.0.1 (ephemeral port,
 *       written to PORT_FILE), accepts and closes every connection, and exits
 *       after SECONDS or on SIGTERM, printing how many connections it took
 *       and its own CPU time per connection.
 *   revozi_bench fetch PORT PATH
 *       One HTTP/1.0 GET of PATH from 127.0.0.1:PORT; prints the response.
 *   revozi_bench freeport
 *       Prints a TCP port of 127.0.0.1 that is free now.
 *
 * Every wait is bounded; nothing but 127.0.0.1 is ever contacted. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kMaxArgs = 16, kMaxEnv = 16, kOutputCap = 1 << 16, kWarmUp = 10 };

/* One program invocation, measured over many runs. */
struct Case {
  const char* name;
  const char* program;
  char* argv[kMaxArgs];
  char* envp[kMaxEnv];
  const char* expect;  /* text the output must contain */
  int expect_status;
  double* wall_us;     /* per run */
  double* cpu_us;      /* per run */
  long* maxrss_kib;    /* per run */
  int runs;
};

/* Memory that a forked child does not inherit: the child's resident set at
 * exec time counts towards the ru_maxrss that wait4 reports, so the child
 * must start from as little of this program's memory as possible. */
static void* bench_alloc(size_t size) {
  void* p = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return NULL;
  if (madvise(p, size, MADV_DONTFORK) != 0) {
    munmap(p, size);
    return NULL;
  }
  memset(p, 0, size);
  return p;
}

static double now_us(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

static double timeval_us(struct timeval t) {
  return (double)t.tv_sec * 1e6 + (double)t.tv_usec;
}

/* The file name of a path, without a ".cgi" ending. */
static const char* base_name(const char* path) {
  static char names[16][64];
  static int next;
  const char* slash = strrchr(path, '/');
  char* name = names[next++ % 16];
  snprintf(name, 64, "%s", slash ? slash + 1 : path);
  char* dot = strstr(name, ".cgi");
  if (dot != NULL) *dot = '\0';
  return name;
}

/* A listening socket on 127.0.0.1, ephemeral port. */
static int listen_loopback(int backlog, int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, (struct sockaddr*)&a, sizeof a) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, (struct sockaddr*)&a, &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

/* Accepts and closes every connection that is waiting now (bounded). */
static void drain(int listener) {
  for (int i = 0; i < 1000; ++i) {
    int c = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (c < 0) return;
    close(c);
  }
}

/* Runs one case once: forks (the benchmark is a small static program, so the
 * child inherits almost nothing), execs the case with standard input from
 * /dev/null and its standard output and error on a pipe, reads the pipe to its
 * end (as a web server does), reaps the child. Returns 0 and the
 * measurements, or -1. `output` has room for kOutputCap + 4096 bytes. */
static int run_once(struct Case* c, char* output, size_t* output_len, int* status,
                    double* wall, double* cpu, long* maxrss) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  const double start = now_us();
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(pipefd[1], STDOUT_FILENO) < 0 ||
        dup2(pipefd[1], STDERR_FILENO) < 0)
      _exit(126);
    execve(c->program, c->argv, c->envp);
    _exit(127);
  }
  close(pipefd[1]);
  if (pid < 0) {
    close(pipefd[0]);
    return -1;
  }
  size_t len = 0;
  for (;;) {
    /* A run that hangs is a failure, not a wait without end. */
    struct pollfd p = {.fd = pipefd[0], .events = POLLIN, .revents = 0};
    if (poll(&p, 1, 30000) <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    /* Past the cap the output is read into the spare 4096 bytes and dropped. */
    char* into = len < kOutputCap ? output + len : output + kOutputCap;
    size_t room = len < kOutputCap ? (size_t)kOutputCap - len : 4096;
    ssize_t n = read(pipefd[0], into, room);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (len < kOutputCap) len += (size_t)n;
  }
  close(pipefd[0]);
  struct rusage ru;
  pid_t done;
  do {
    done = wait4(pid, status, 0, &ru);
  } while (done < 0 && errno == EINTR);
  const double end = now_us();
  if (done != pid) return -1;
  *output_len = len;
  *wall = end - start;
  *cpu = timeval_us(ru.ru_utime) + timeval_us(ru.ru_stime);
  *maxrss = ru.ru_maxrss;
  return 0;
}

static int compare_double(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static int compare_long(const void* a, const void* b) {
  const long x = *(const long*)a, y = *(const long*)b;
  return (x > y) - (x < y);
}

/* The q-quantile of n sorted values (nearest rank). */
static double quantile(const double* sorted, int n, double q) {
  int i = (int)(q * (double)(n - 1) + 0.5);
  return sorted[i];
}

static int check_output(const struct Case* c, const char* output, size_t len, int status) {
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code != c->expect_status || memmem(output, len, c->expect, strlen(c->expect)) == NULL) {
    fprintf(stderr, "%s: unexpected response (exit status %d, wanted %d and \"%s\"):\n%.*s\n",
            c->name, code, c->expect_status, c->expect, (int)(len > 2000 ? 2000 : len), output);
    return -1;
  }
  return 0;
}

static char* format(const char* fmt, const char* a, int port) {
  char* text = NULL;
  if (asprintf(&text, fmt, a, port) < 0) {
    perror("asprintf");
    exit(2);
  }
  return text;
}

/* The CGI environment a web server gives a GET request. */
static void cgi_env(struct Case* c, char* query) {
  int i = 0;
  c->envp[i++] = "GATEWAY_INTERFACE=CGI/1.1";
  c->envp[i++] = "SERVER_PROTOCOL=HTTP/1.1";
  c->envp[i++] = "REQUEST_METHOD=GET";
  c->envp[i++] = "SCRIPT_NAME=/cgi-bin/revozi.cgi";
  c->envp[i++] = "SERVER_NAME=127.0.0.1";
  c->envp[i++] = "REMOTE_ADDR=127.0.0.1";
  c->envp[i++] = "PATH=/usr/local/bin:/usr/bin:/bin";
  c->envp[i++] = query;
  c->envp[i] = NULL;
}

#define ORDER                                                                      \
  "KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=%s&KWT_DEVISE=978&KWT_CMD=ORDER42"        \
  "&KWT_PORTEUR=shopper%%40example.fr&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7"
#define SERVERS(host)                                                              \
  "&KWT_KORVEN=http://" host "/pay&KWT_BACKUP1=http://" host "/b1"                  \
  "&KWT_BACKUP2=http://" host "/b2&KWT_BACKUP3=http://" host "/b3&KWT_PORT=%d"

static int bench_run(int runs, char** programs, int program_count) {
  enum { kValid = 1, kLocalhost, kError, kPing, kMemoryOff, kMemoryOn };
  /* With REVOZI_BENCH_STATE_DIR: two more copies, the locked valid request
   * with the server memory off and on. */
  const char* state_dir = getenv("REVOZI_BENCH_STATE_DIR");
  const int kOthers = state_dir != NULL ? kMemoryOn + 1 : kMemoryOff;
  int port = 0;
  const int listener = listen_loopback(512, &port);
  if (listener < 0) {
    perror("listen on 127.0.0.1");
    return 2;
  }
  fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);

  enum { kMaxCases = 12 };
  if (program_count > kMaxCases) {
    fprintf(stderr, "at most %d other modules\n", kMaxCases - kOthers);
    return 2;
  }
  struct Case cases[kMaxCases];
  memset(cases, 0, sizeof cases);
  int n = 0;

  struct Case* c = &cases[n++];
  c->name = "baseline (static C)";
  c->program = programs[0];
  c->argv[0] = "baseline.cgi";
  cgi_env(c, "QUERY_STRING=");
  c->expect = "fixed response";

  c = &cases[n++];
  c->name = "valid, 127.0.0.1";
  c->program = programs[kValid];
  c->argv[0] = "revozi.cgi";
  cgi_env(c, format("QUERY_STRING=" ORDER SERVERS("127.0.0.1"), "1500", port));
  c->expect = "NAME=KWT_DATA VALUE=";

  c = &cases[n++];
  c->name = "valid, localhost";
  c->program = programs[kLocalhost];
  c->argv[0] = "revozi.cgi";
  cgi_env(c, format("QUERY_STRING=" ORDER SERVERS("localhost"), "1500", port));
  c->expect = "NAME=KWT_DATA VALUE=";

  c = &cases[n++];
  c->name = "error page";
  c->program = programs[kError];
  c->argv[0] = "revozi.cgi";
  cgi_env(c, format("QUERY_STRING=" ORDER SERVERS("127.0.0.1"), "15", port));
  c->expect = "KORVEN INPUT ERROR (code -11)";
  c->expect_status = 1;

  c = &cases[n++];
  c->name = "ping, 127.0.0.1";
  c->program = programs[kPing];
  {
    int a = 0;
    c->argv[a++] = "revozi.cgi";
    c->argv[a++] = "KWT_MODE=4";
    c->argv[a++] = "KWT_PING=1";
    c->argv[a++] = "KWT_KORVEN=http://127.0.0.1/pay";
    c->argv[a++] = "KWT_BACKUP1=http://127.0.0.1/b1";
    c->argv[a++] = "KWT_BACKUP2=http://127.0.0.1/b2";
    c->argv[a++] = "KWT_BACKUP3=http://127.0.0.1/b3";
    c->argv[a++] = format("KWT_PORT=%s%d", "", port);
    c->argv[a] = NULL;
  }
  c->envp[0] = "PATH=/usr/local/bin:/usr/bin:/bin";
  c->envp[1] = NULL;
  c->expect = "Serveur: http://127.0.0.1/pay\n";

  if (state_dir != NULL) {
    if (program_count < kOthers) return 2;
    for (int on = 0; on < 2; ++on) {
      c = &cases[n++];
      c->name = on ? "locked, memory on" : "locked, memory off";
      c->program = programs[on ? kMemoryOn : kMemoryOff];
      c->argv[0] = "revozi.cgi";
      cgi_env(c, format("QUERY_STRING=" ORDER "%.0d", "1500", 0));
      int e = 8;
      c->envp[e++] = "REVOZI_LOCK=1";
      c->envp[e++] = "KWT_MODE=21";
      c->envp[e++] = "KWT_KORVEN=http://127.0.0.1/pay";
      c->envp[e++] = "KWT_BACKUP1=http://127.0.0.1/b1";
      c->envp[e++] = format("KWT_PORT=%s%d", "", port);
      if (on) c->envp[e++] = format("REVOZI_STATE_DIR=%s%.0d", state_dir, 0);
      c->envp[e] = NULL;
      c->expect = "NAME=KWT_DATA VALUE=";
    }
  }
  if ((program_count - kOthers) % 2 != 0) {
    fprintf(stderr, "OTHER modules come in pairs of copies\n");
    return 2;
  }
  for (int i = kOthers; i < program_count; ++i) {
    const int localhost = (i - kOthers) % 2;
    c = &cases[n++];
    char* name = NULL;
    if (asprintf(&name, "%.14s, %s", base_name(programs[i]), localhost ? "localhost" : "127.0.0.1") < 0) return 2;
    c->name = name;
    c->program = programs[i];
    c->argv[0] = "revozi.cgi";
    cgi_env(c, cases[localhost ? kLocalhost : kValid].envp[7]);
    c->expect = "NAME=KWT_DATA VALUE=";
  }

  char* output = bench_alloc(kOutputCap + 4096);
  for (int i = 0; i < n; ++i) {
    cases[i].wall_us = bench_alloc((size_t)runs * sizeof(double));
    cases[i].cpu_us = bench_alloc((size_t)runs * sizeof(double));
    cases[i].maxrss_kib = bench_alloc((size_t)runs * sizeof(long));
    if (!output || !cases[i].wall_us || !cases[i].cpu_us || !cases[i].maxrss_kib) {
      fprintf(stderr, "out of memory\n");
      return 2;
    }
  }

  /* Warm-up (page cache, first resolver load), each response checked; then
   * the measured rounds, every response checked too. */
  int order[kMaxCases];
  for (int i = 0; i < n; ++i) order[i] = i;
  unsigned int seed = 12345u;
  for (int round = -kWarmUp; round < runs; ++round) {
    /* A new order every round, so no case always follows the same one. */
    for (int i = n - 1; i > 0; --i) {
      seed = seed * 1103515245u + 12345u;
      const int j = (int)((seed >> 16) % (unsigned int)(i + 1));
      const int t = order[i];
      order[i] = order[j];
      order[j] = t;
    }
    for (int k = 0; k < n; ++k) {
      c = &cases[order[k]];
      size_t len = 0;
      int status = 0;
      double wall, cpu;
      long maxrss;
      if (run_once(c, output, &len, &status, &wall, &cpu, &maxrss) != 0) {
        fprintf(stderr, "%s: cannot run %s: %s\n", c->name, c->program, strerror(errno));
        return 2;
      }
      drain(listener);
      if (check_output(c, output, len, status) != 0) return 1;
      if (round >= 0) {
        c->wall_us[round] = wall;
        c->cpu_us[round] = cpu;
        c->maxrss_kib[round] = maxrss;
        c->runs = round + 1;
      }
    }
  }
  close(listener);

  printf("Per-process runs: %d of each case, round-robin in a shuffled order (after %d warm-up "
         "rounds)\n",
         runs,
         kWarmUp);
  printf("%-24s %10s %8s %6s %10s %6s %9s %6s\n", "case", "wall med", "p90", "x base",
         "CPU med", "x base", "peak RSS", "x base");
  double base_wall = 0, base_cpu = 0;
  long base_rss = 1;
  for (int i = 0; i < n; ++i) {
    c = &cases[i];
    qsort(c->wall_us, (size_t)runs, sizeof(double), compare_double);
    qsort(c->cpu_us, (size_t)runs, sizeof(double), compare_double);
    qsort(c->maxrss_kib, (size_t)runs, sizeof(long), compare_long);
    const double wall = quantile(c->wall_us, runs, 0.5);
    const double p90 = quantile(c->wall_us, runs, 0.9);
    const double cpu = quantile(c->cpu_us, runs, 0.5);
    const long rss = c->maxrss_kib[runs - 1];
    if (i == 0) {
      base_wall = wall;
      base_cpu = cpu > 0 ? cpu : 1;
      base_rss = rss > 0 ? rss : 1;
    }
    printf("%-24s %7.0f us %5.0f us %6.2f %7.0f us %6.2f %5ld KiB %6.2f\n", c->name, wall, p90,
           wall / base_wall, cpu, cpu / base_cpu, rss, (double)rss / (double)base_rss);
  }
  printf("(CPU: user+sys of the child and the children it waited for; peak RSS: the "
         "highest ru_maxrss over all runs)\n");
  if (state_dir != NULL) {
    printf("start-up with the server memory on against off (locked, wall medians): x %.3f\n",
           quantile(cases[kMemoryOn].wall_us, runs, 0.5) / quantile(cases[kMemoryOff].wall_us, runs, 0.5));
  }
  for (int i = kOthers; i + 1 < n; i += 2) {
    printf("start-up of this module against %.14s (wall medians): 127.0.0.1 x %.3f, localhost x %.3f\n",
           base_name(cases[i].program), quantile(cases[kValid].wall_us, runs, 0.5) /
           quantile(cases[i].wall_us, runs, 0.5), quantile(cases[kLocalhost].wall_us, runs, 0.5) /
           quantile(cases[i + 1].wall_us, runs, 0.5));
  }
  return 0;
}

/* A listener on (host, port) that never accepts, its queue full: a new
 * connection attempt to it stays pending, as behind a firewall that drops. */
static int blackhole(const char* host, int port, int* fillers, int max_fillers) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((unsigned short)port);
  inet_pton(AF_INET, host, &a.sin_addr);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || bind(fd, (struct sockaddr*)&a, sizeof a) != 0 || listen(fd, 0) != 0) return -1;
  for (int i = 0; i < max_fillers; ++i) {
    fillers[i] = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(fillers[i], (struct sockaddr*)&a, sizeof a);
    struct pollfd p = {.fd = fillers[i], .events = POLLOUT, .revents = 0};
    if (poll(&p, 1, 300) == 0) return fd; /* this one stays pending */
  }
  return -1;
}

static int bench_networks(int runs, char** modules, int module_count) {
  int port = 0;
  const int listener = listen_loopback(512, &port);
  int fillers[8];
  const int hole = listener < 0 ? -1 : blackhole("127.0.0.2", port, fillers, 8);
  const int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(53);
  inet_pton(AF_INET, "127.0.0.53", &a.sin_addr);
  if (listener < 0 || hole < 0 || dns < 0 || bind(dns, (struct sockaddr*)&a, sizeof a) != 0) {
    perror("set-up on 127.0.0.1, 127.0.0.2 and 127.0.0.53");
    return 2;
  }
  fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
  static const struct {
    const char* name;
    const char* primary;
  } kCases[] = {{"primary's first address blackholed", "pay.bench.test"},
                {"primary's name server silent", "silent.bench.test"}};
  char* output = bench_alloc(kOutputCap + 4096);
  double* walls = bench_alloc((size_t)runs * sizeof(double));
  if (output == NULL || walls == NULL) return 2;
  printf("Time to the payment page, %d runs each (default time-outs, backups on 127.0.0.1)\n", runs);
  printf("%-38s %-16s %10s  %s\n", "case", "module", "median", "page sent to");
  for (size_t k = 0; k < sizeof kCases / sizeof kCases[0]; ++k) {
    for (int m = 0; m < module_count; ++m) {
      struct Case c;
      memset(&c, 0, sizeof c);
      c.name = kCases[k].name;
      c.program = modules[m];
      c.argv[0] = "revozi.cgi";
      char* query = NULL;
      if (asprintf(&query, "QUERY_STRING=KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=1500&KWT_DEVISE=978"
                   "&KWT_CMD=ORDER42&KWT_PORTEUR=shopper%%40example.fr&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7"
                   "&KWT_KORVEN=http://%s/pay&KWT_BACKUP1=http://127.0.0.1/b1&KWT_BACKUP2=http://127.0.0.1/b2"
                   "&KWT_BACKUP3=http://127.0.0.1/b3&KWT_PORT=%d", kCases[k].primary, port) < 0) {
        return 2;
      }
      cgi_env(&c, query);
      c.expect = "NAME=KWT_DATA VALUE=";
      char sent_to[64] = "?";
      for (int r = 0; r < runs; ++r) {
        size_t len = 0;
        int status = 0;
        double cpu;
        long maxrss;
        if (run_once(&c, output, &len, &status, &walls[r], &cpu, &maxrss) != 0) {
          fprintf(stderr, "cannot run %s: %s\n", c.program, strerror(errno));
          return 2;
        }
        drain(listener);
        if (check_output(&c, output, len, status) != 0) return 1;
        const char* action = memmem(output, len, "Action='", 8);
        if (action != NULL) sscanf(action + 8, "%63[^']", sent_to);
      }
      qsort(walls, (size_t)runs, sizeof(double), compare_double);
      printf("%-38s %-16.16s %7.2f s   %s\n", c.name, base_name(c.program), quantile(walls, runs, 0.5) / 1e6,
             sent_to);
      fflush(stdout);
    }
  }
  /* 20 shoppers in a row, the primary's only address blackholed (2-second
   * time-out), with the last module: the server memory off, then on. */
  const char* state_dir = getenv("REVOZI_BENCH_STATE_DIR");
  if (state_dir == NULL) return 0;
  printf("20 shoppers in a row, primary 127.0.0.2 blackholed (KWT_TIMEOUT=2), %s\n", base_name(modules[module_count - 1]));
  for (int on = 0; on < 2; ++on) {
    struct Case c;
    memset(&c, 0, sizeof c);
    c.program = modules[module_count - 1];
    c.argv[0] = "revozi.cgi";
    cgi_env(&c, format("QUERY_STRING=KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=1500&KWT_DEVISE=978&KWT_CMD=A"
                       "&KWT_PORTEUR=a%%40b.fr&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7%s%.0d", "", 0));
    int e = 8;
    c.envp[e++] = "REVOZI_LOCK=1";
    c.envp[e++] = "KWT_MODE=21";
    c.envp[e++] = "KWT_KORVEN=http://127.0.0.2/pay";
    c.envp[e++] = "KWT_BACKUP1=http://127.0.0.1/b1";
    c.envp[e++] = "KWT_TIMEOUT=2";
    c.envp[e++] = format("KWT_PORT=%s%d", "", port);
    if (on) c.envp[e++] = format("REVOZI_STATE_DIR=%s%.0d", state_dir, 0);
    c.envp[e] = NULL;
    c.expect = "Action='http://127.0.0.1/b1'";
    double total = 0;
    for (int r = 0; r < 20; ++r) {
      size_t len = 0;
      int status = 0;
      double cpu;
      long maxrss;
      if (run_once(&c, output, &len, &status, &walls[r % runs], &cpu, &maxrss) != 0) return 2;
      drain(listener);
      if (check_output(&c, output, len, status) != 0) return 1;
      total += walls[r % runs];
    }
    printf("  memory %-3s  %7.2f s in all, %6.3f s per shopper, to backup 1\n", on ? "on" : "off", total / 1e6,
           total / 20e6);
    fflush(stdout);
  }
  return 0;
}

static int serve(const char* port_file, int seconds) {
  /* SIGTERM ends the loop early, through a descriptor, so that the summary
   * is still written. */
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  const int stop = sigprocmask(SIG_BLOCK, &term, NULL) == 0 ? signalfd(-1, &term, SFD_CLOEXEC) : -1;
  int port = 0;
  const int listener = listen_loopback(512, &port);
  if (listener < 0 || stop < 0) {
    perror("listen on 127.0.0.1");
    return 2;
  }
  FILE* f = fopen(port_file, "w");
  if (f == NULL || fprintf(f, "%d\n", port) < 0 || fclose(f) != 0) {
    perror(port_file);
    return 2;
  }
  long accepted = 0;
  const double deadline = now_us() + (double)seconds * 1e6;
  for (;;) {
    const double left = deadline - now_us();
    if (left <= 0) break;
    struct pollfd p[2] = {{.fd = listener, .events = POLLIN, .revents = 0},
                          {.fd = stop, .events = POLLIN, .revents = 0}};
    const int ready = poll(p, 2, (int)(left / 1000) + 1);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (p[1].revents != 0) break;
    const int c = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    if (c >= 0) {
      close(c);
      ++accepted;
    }
  }
  close(listener);
  /* What the stand-in server itself cost: on this machine it competes with
   * the programs measured, where a real payment server runs elsewhere. */
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  const double cpu = timeval_us(ru.ru_utime) + timeval_us(ru.ru_stime);
  printf("stand-in payment server: %ld connections accepted, %.0f us CPU each\n", accepted,
         accepted > 0 ? cpu / (double)accepted : 0.0);
  return 0;
}

static int fetch(int port, const char* path) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((unsigned short)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, (struct sockaddr*)&a, sizeof a) != 0) {
    perror("connect to 127.0.0.1");
    return 2;
  }
  char request[8192];
  const int len = snprintf(request, sizeof request,
                           "GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", path);
  if (len < 0 || (size_t)len >= sizeof request ||
      write(fd, request, (size_t)len) != (ssize_t)len) {
    fprintf(stderr, "cannot send the request\n");
    return 2;
  }
  char buffer[8192];
  for (;;) {
    struct pollfd p = {.fd = fd, .events = POLLIN, .revents = 0};
    if (poll(&p, 1, 10000) <= 0) {
      fprintf(stderr, "no complete answer within 10 s\n");
      return 2;
    }
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (fwrite(buffer, 1, (size_t)n, stdout) != (size_t)n) return 2;
  }
  close(fd);
  return 0;
}

static int freeport(void) {
  int port = 0;
  const int fd = listen_loopback(1, &port);
  if (fd < 0) {
    perror("listen on 127.0.0.1");
    return 2;
  }
  close(fd);
  printf("%d\n", port);
  return 0;
}

static int usage(void) {
  fprintf(stderr,
          "usage: revozi_bench run RUNS BASELINE VALID LOCALHOST ERROR PING [OTHER OTHER...]\n"
          "       revozi_bench networks RUNS MODULE...\n"
          "       revozi_bench serve PORT_FILE SECONDS\n"
          "       revozi_bench fetch PORT PATH\n"
          "       revozi_bench freeport\n");
  return 2;
}

int main(int argc, char** argv) {
  if (argc >= 8 && strcmp(argv[1], "run") == 0) {
    const int runs = atoi(argv[2]);
    if (runs < 1 || runs > 100000) return usage();
    return bench_run(runs, argv + 3, argc - 3);
  }
  if (argc >= 4 && strcmp(argv[1], "networks") == 0) {
    const int runs = atoi(argv[2]);
    if (runs < 1 || runs > 100) return usage();
    return bench_networks(runs, argv + 3, argc - 3);
  }
  if (argc == 4 && strcmp(argv[1], "serve") == 0) {
    const int seconds = atoi(argv[3]);
    if (seconds < 1 || seconds > 3600) return usage();
    return serve(argv[2], seconds);
  }
  if (argc == 4 && strcmp(argv[1], "fetch") == 0) return fetch(atoi(argv[2]), argv[3]);
  if (argc == 2 && strcmp(argv[1], "freeport") == 0) return freeport();
  return usage();
}
