/* Eight threads compile and run eight different programs at the same time.
 * Each checks its own results and its own error messages, and the shared
 * temporary directory holds exactly one shared object per live program:
 * builds started in the same instant must not overwrite each other's files. */
#define _POSIX_C_SOURCE 200809L
#include <dirent.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "quarn.h"

#define THREADS 8
#define ROWS 3
#define COLS 5

static const char* const SOURCES[THREADS] = {
    "ij ~ i",         "ij ~ j",  "ij ~ ji", "-ij ~ ij", ">ij ~ i",
    "ij ~ .",         "ij ~ i | j:2 |", "^ij ~ ij | i:2 |",
};

/* The expected output of program t on x (ROWS x COLS): its values and
 * element count. */
static size_t expected(int t, const float* x, float* out) {
  size_t n = 0;
  switch (t) {
    case 0: case 6:
      for (size_t i = 0; i < ROWS; ++i) {
        out[n] = 0;
        for (size_t j = 0; j < COLS; ++j) out[n] += x[i * COLS + j];
        ++n;
      }
      return n;
    case 1:
      for (size_t j = 0; j < COLS; ++j) {
        out[n] = 0;
        for (size_t i = 0; i < ROWS; ++i) out[n] += x[i * COLS + j];
        ++n;
      }
      return n;
    case 2:
      for (size_t j = 0; j < COLS; ++j) {
        for (size_t i = 0; i < ROWS; ++i) out[n++] = x[i * COLS + j];
      }
      return n;
    case 3:
      for (size_t k = 0; k < ROWS * COLS; ++k) out[n++] = -x[k];
      return n;
    case 4:
      for (size_t i = 0; i < ROWS; ++i) {
        out[n] = -INFINITY;
        for (size_t j = 0; j < COLS; ++j) out[n] = fmaxf(out[n], x[i * COLS + j]);
        ++n;
      }
      return n;
    case 5:
      out[0] = 0;
      for (size_t k = 0; k < ROWS * COLS; ++k) out[0] += x[k];
      return 1;
    case 7:
      for (size_t k = 0; k < ROWS * COLS; ++k) out[n++] = expf(x[k]);
      return n;
  }
  abort();
}

typedef struct {
  int index;
  pthread_barrier_t* compiled;
  pthread_barrier_t* counted;
  char failure[256];
} Job;

static int streq(const char* a, const char* b) { return a != NULL && b != NULL && strcmp(a, b) == 0; }

#define FAIL(job, ...)                                                   \
  do {                                                                   \
    snprintf((job)->failure, sizeof (job)->failure, __VA_ARGS__);        \
    goto done;                                                           \
  } while (0)

static void* run(void* arg) {
  Job* job = arg;
  const int t = job->index;
  QProgram* program = NULL;
  OutputTensors outs = {NULL, 0};
  char message[128];

  /* A failure of this thread's own, with a message no other thread makes. */
  QComponent* c = q_parse(SOURCES[t]);
  QComponent* misbound = c != NULL ? q_bind_input(c, 10 + (size_t)t) : NULL;
  snprintf(message, sizeof message,
           "LowerError { message: \"cannot bind nonexistent input %d\" }", 10 + t);
  if (misbound == NULL || q_compile(misbound, Cpu) != NULL || !streq(q_error(), message)) {
    q_component_free(misbound);
    FAIL(job, "thread %d: bad binding gave %s", t, q_error());
  }
  q_component_free(misbound);

  program = q_compile(c, Cpu);
  if (program == NULL) FAIL(job, "thread %d: compile %s: %s", t, SOURCES[t], q_error());

  float x[ROWS * COLS];
  for (size_t k = 0; k < ROWS * COLS; ++k) x[k] = 0.25f * (float)((k * 7 + (size_t)t) % 11) - 1.0f;
  const size_t shape[2] = {ROWS, COLS};
  const Tensor input = {x, shape, 2};
  outs = q_exec(program, &input, 1);
  float want[ROWS * COLS];
  size_t n = expected(t, x, want);
  if (outs.count != 1 || outs.tensors[0].len != n) FAIL(job, "thread %d: wrong outputs", t);
  for (size_t k = 0; k < n; ++k) {
    if (fabsf(outs.tensors[0].data[k] - want[k]) > 1e-4f * fmaxf(1.0f, fabsf(want[k]))) {
      FAIL(job, "thread %d: element %zu is %g, expected %g", t, k, (double)outs.tensors[0].data[k],
           (double)want[k]);
    }
  }
  /* Successful calls leave this thread's message alone. */
  if (!streq(q_error(), message)) FAIL(job, "thread %d: message became %s", t, q_error());

done:
  q_component_free(c);
  q_outputs_free(outs.tensors, outs.count);
  /* Every program stays loaded until the main thread has counted the files. */
  pthread_barrier_wait(job->compiled);
  pthread_barrier_wait(job->counted);
  q_program_free(program);
  return NULL;
}

/* The number of names in `dir` ending with `suffix`, and of all names. */
static int count_files(const char* dir, const char* suffix, int* all) {
  DIR* d = opendir(dir);
  int n = 0;
  *all = 0;
  if (d == NULL) return -1;
  for (struct dirent* e = readdir(d); e != NULL; e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    ++*all;
    size_t len = strlen(e->d_name);
    if (len > strlen(suffix) && strcmp(e->d_name + len - strlen(suffix), suffix) == 0 &&
        strncmp(e->d_name, "quarn_", 6) == 0) {
      ++n;
    }
  }
  closedir(d);
  return n;
}

int main(void) {
  char dir[] = "/tmp/quarn_concurrency_XXXXXX";
  if (mkdtemp(dir) == NULL || setenv("TMPDIR", dir, 1) != 0) {
    perror("temporary directory");
    return 1;
  }

  pthread_barrier_t compiled;
  pthread_barrier_t counted;
  pthread_barrier_init(&compiled, NULL, THREADS + 1);
  pthread_barrier_init(&counted, NULL, THREADS + 1);
  Job jobs[THREADS];
  pthread_t threads[THREADS];
  for (int t = 0; t < THREADS; ++t) {
    jobs[t] = (Job){t, &compiled, &counted, ""};
    pthread_create(&threads[t], NULL, run, &jobs[t]);
  }

  pthread_barrier_wait(&compiled);
  int all = 0;
  const int objects = count_files(dir, ".so", &all);
  pthread_barrier_wait(&counted);
  for (int t = 0; t < THREADS; ++t) pthread_join(threads[t], NULL);
  int left = 0;
  count_files(dir, "", &left);

  int failures = 0;
  for (int t = 0; t < THREADS; ++t) {
    if (jobs[t].failure[0] != '\0') {
      fprintf(stderr, "%s\n", jobs[t].failure);
      ++failures;
    }
  }
  /* The main thread made no failing call, so it has no message. */
  if (q_error() != NULL) {
    fprintf(stderr, "main thread sees message %s\n", q_error());
    ++failures;
  }
  if (objects != THREADS || all != THREADS) {
    fprintf(stderr, "%d shared objects among %d files while %d programs were live\n", objects,
            all, THREADS);
    ++failures;
  }
  if (left != 0) {
    fprintf(stderr, "%d files left after every program was freed\n", left);
    ++failures;
  }
  pthread_barrier_destroy(&compiled);
  pthread_barrier_destroy(&counted);
  rmdir(dir);
  return failures == 0 ? 0 : 1;
}
