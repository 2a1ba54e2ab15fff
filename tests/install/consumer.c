/* A program as a user writes it: public header and library, nothing of the build tree. */
#include <stdio.h>

#include <zellib.h>

int main(void) {
  zelerror err = -1;
  zelarray_t *handle = zelarray_create(0, 1024, &err);
  if (handle == NULL || err != 0) {
    zelarray_perror(&err, "zelarray_create");
    return 1;
  }
  zelarray_delete(handle, &err);
  if (err != 0) return 1;
  printf("consumer: ok\n");
  return 0;
}
