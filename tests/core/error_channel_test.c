/* The error channel through the public header only: per-thread messages,
 * null until the first failure, kept across successful calls. */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "quarn.h"

static int failures = 0;
static int checks = 0;

#define CHECK(cond)                                                \
  do {                                                             \
    ++checks;                                                      \
    if (!(cond)) {                                                 \
      ++failures;                                                  \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                              \
  } while (0)

static int streq(const char* a, const char* b) { return a != NULL && b != NULL && strcmp(a, b) == 0; }

static void* fresh_thread(void* arg) {
  int* ok = (int*)arg;
  /* Another thread has a message; this one has none yet. */
  ok[0] = q_error() == NULL;
  QComponent* c = q_parse("ab ~");
  ok[1] = c == NULL && streq(q_error(), "ParseError { offset: 4, message: \"expected pattern\" }");
  return NULL;
}

int main(void) {
  CHECK(q_error() == NULL);

  QComponent* ok = q_parse("ij ~ i");
  CHECK(ok != NULL);
  CHECK(q_error() == NULL); /* success records nothing */

  CHECK(q_parse(NULL) == NULL);
  CHECK(streq(q_error(), "null expression"));

  CHECK(q_parse("ab ~ a\xff") == NULL);
  CHECK(streq(q_error(), "null expression"));
  CHECK(q_parse("\xc0\xaf ~ a") == NULL); /* overlong form */
  CHECK(streq(q_error(), "null expression"));

  /* Valid UTF-8 that is no token fails in the parser at its byte offset. */
  CHECK(q_parse("ab ~ \xc3\xa9") == NULL);
  CHECK(streq(q_error(), "ParseError { offset: 5, message: \"expected pattern\" }"));

  CHECK(q_parse("ab ~ a | a:4, a:2 |") == NULL);
  CHECK(streq(q_error(), "ParseError { offset: 18, message: \"duplicate split entry for axis a\" }"));

  /* A later success leaves the message in place. */
  QComponent* again = q_parse("ab * ab ~ ab");
  CHECK(again != NULL);
  CHECK(streq(q_error(), "ParseError { offset: 18, message: \"duplicate split entry for axis a\" }"));

  /* Messages are per thread. */
  pthread_t thread;
  int thread_ok[2] = {0, 0};
  CHECK(pthread_create(&thread, NULL, fresh_thread, thread_ok) == 0);
  CHECK(pthread_join(thread, NULL) == 0);
  CHECK(thread_ok[0]);
  CHECK(thread_ok[1]);
  CHECK(streq(q_error(), "ParseError { offset: 18, message: \"duplicate split entry for axis a\" }"));

  q_component_free(ok);
  q_component_free(again);
  q_component_free(NULL);
  q_string_free(NULL);

  printf("%d passed, %d failed\n", checks - failures, failures);
  return failures == 0 ? 0 : 1;
}
