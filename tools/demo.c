/* The built-in example: parses a small tensor program through the public C
 * interface and reports what it found. */
#include <stdio.h>

#include "quarn.h"

int main(int argc, char** argv) {
  const char* source = argc > 1 ? argv[1] : "ij * jk ~ ijk";
  QComponent* component = q_parse(source);
  if (component == NULL) {
    fprintf(stderr, "error: %s\n", q_error());
    return 1;
  }
  printf("parsed: %s\n", source);
  q_component_free(component);
  return 0;
}
