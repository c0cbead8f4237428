/* The peer of "open: zip -> working copy" in storage_bench.py: every entry of a zip extracted
 * with libzip into a folder, then one syncfs() so that what was written is on disk.
 *   zip_extract_peer <archive> <folder>
 * Built by storage_bench.py against libzip-dev. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

static int make_parents(char* path) {
  for (char* p = strchr(path + 1, '/'); p; p = strchr(p + 1, '/')) {
    *p = 0;
    if (mkdir(path, 0755) != 0 && errno != EEXIST) return -1;
    *p = '/';
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: zip_extract_peer <archive> <folder>\n");
    return 2;
  }
  int error = 0;
  zip_t* archive = zip_open(argv[1], ZIP_RDONLY, &error);
  if (!archive) {
    fprintf(stderr, "%s: cannot open (%d)\n", argv[1], error);
    return 1;
  }
  mkdir(argv[2], 0755);
  static char buffer[1 << 16];
  zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(archive, (zip_uint64_t)i, 0);
    if (!name || strstr(name, "..")) continue;
    size_t length = strlen(argv[2]) + strlen(name) + 2;
    char* path = malloc(length);
    snprintf(path, length, "%s/%s", argv[2], name);
    if (make_parents(path) != 0) return 1;
    if (name[strlen(name) - 1] == '/') {
      mkdir(path, 0755);
      free(path);
      continue;
    }
    zip_file_t* in = zip_fopen_index(archive, (zip_uint64_t)i, 0);
    int out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (!in || out < 0) {
      fprintf(stderr, "%s: cannot extract\n", name);
      return 1;
    }
    zip_int64_t n;
    while ((n = zip_fread(in, buffer, sizeof buffer)) > 0)
      if (write(out, buffer, (size_t)n) != n) return 1;
    if (n < 0) return 1;
    zip_fclose(in);
    close(out);
    free(path);
  }
  int root = open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0 || syncfs(root) != 0) return 1;
  close(root);
  zip_close(archive);
  return 0;
}
