/* An application's first contact with the installed SDK: plain C, no lab. */
#include <korvane.h>
#include <stdio.h>
#include <string.h>

static int check(int ok, const char* what) {
    if (!ok) fprintf(stderr, "FAIL: %s\n", what);
    return ok ? 0 : 1;
}

int main(void) {
    int failures = 0;
    failures += check(strcmp(korvane_error(), "") == 0, "no error before any call");
    failures += check(korvane_start("[1, 2]") == KORVANE_INVALID_CONFIG, "an array is refused");
    failures += check(strcmp(korvane_error(), "[SDK] Invalid config JSON") == 0, "error text");
    failures += check(strstr(korvane_status(), "\"started\":false") != NULL, "status when idle");
    failures += check(korvane_stop() == 0, "stop without start");
    failures += check(strcmp(korvane_error(), "") == 0, "stop clears the error");
    failures += check(korvane_post_lifecycle(KORVANE_WILL_ENTER_FOREGROUND) == 0, "lifecycle");
    failures += check(korvane_post_lifecycle(99) == -1, "unknown notification");
    if (failures == 0) printf("korvane package OK\n");
    return failures == 0 ? 0 : 1;
}
