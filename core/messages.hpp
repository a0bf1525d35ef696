#pragma once

// Every line the tool prints. All go to standard output, errors included, and
// each function that ends a run returns the run's exit status.
namespace cardwrap {

void banner();
int usage();
int path_too_long(const char *in_path);
int cannot_read(const char *in_path);
int size_too_large(const char *in_path);
int cannot_write(const char *out_path);
int summary(int size, int blocks);

} // namespace cardwrap
