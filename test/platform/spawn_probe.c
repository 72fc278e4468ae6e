/* Started by the process tests: reports how it was started into the file named by argv[1].
 * argv[2] is a descriptor number to look for, argv[3] a linger time in ms (0: exit at once);
 * the remaining arguments are echoed, one per line. The report is written to a temporary name and
 * renamed, so a reader never sees half of it. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 4) {
        return 2;
    }
    const char* reportPath = argv[1];
    const int probeFd = atoi(argv[2]);
    const long lingerMs = atol(argv[3]);
    /* Looked at before this program opens anything that could take the same number. */
    const int probeFdOpen = fcntl(probeFd, F_GETFD) != -1;

    char tmpPath[4096];
    snprintf(tmpPath, sizeof tmpPath, "%s.tmp", reportPath);
    FILE* out = fopen(tmpPath, "w");
    if (out == NULL) {
        return 3;
    }
    struct stat st;
    const int haveStdout = fstat(STDOUT_FILENO, &st) == 0;
    fprintf(out, "pid %ld\n", (long)getpid());
    fprintf(out, "sid %ld\n", (long)getsid(0));
    fprintf(out, "stdout %lu %lu\n", haveStdout ? (unsigned long)st.st_dev : 0UL,
            haveStdout ? (unsigned long)st.st_ino : 0UL);
    fprintf(out, "probefd %s\n", probeFdOpen ? "open" : "closed");
    fprintf(out, "argc %d\n", argc - 4);
    for (int i = 4; i < argc; ++i) {
        fprintf(out, "arg %s\n", argv[i]);
    }
    if (fclose(out) != 0 || rename(tmpPath, reportPath) != 0) {
        return 4;
    }
    if (lingerMs > 0) {
        struct timespec ts = {lingerMs / 1000, (lingerMs % 1000) * 1000000L};
        nanosleep(&ts, NULL);
    }
    return 0;
}
