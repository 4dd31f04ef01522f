/* The floor for any CGI program: a minimal, statically linked C program that
 * writes one fixed response and exits. The benchmark compares the module
 * against it. */
#include <unistd.h>

static const char kResponse[] =
    "Content-type: text/html\n"
    "Cache-Control: no-cache, no-store\n"
    "Pragma: no-cache\n"
    "\n"
    "<HTML>\n<HEAD>\n<TITLE>BASELINE</TITLE></HEAD>\n"
    "<BODY>\n<P>fixed response</P>\n</BODY>\n</HTML>\n";

int main(void) {
  const char* p = kResponse;
  size_t left = sizeof kResponse - 1;
  while (left > 0) {
    ssize_t n = write(STDOUT_FILENO, p, left);
    if (n <= 0) return 1;
    p += n;
    left -= (size_t)n;
  }
  return 0;
}
