/* The first process of the test machine. It loads the kernel modules listed in
 * /modules.list (a path and its parameters per line), mounts the host's root (9p,
 * read-only) under a writable overlay, and the results folder (9p, read-write), then
 * runs the guest script named by qdp.guest= on the kernel command line inside that
 * root, and powers the machine off when the script ends. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

static void Say(const char* what, const char* detail) {
    fprintf(stderr, "vm_init: %s %s: %s\n", what, detail, strerror(errno));
}

static void LoadModules(void) {
    FILE* list = fopen("/modules.list", "r");
    char line[512];
    while (list != NULL && fgets(line, sizeof line, list) != NULL) {
        line[strcspn(line, "\n")] = '\0';
        char* parameters = strchr(line, ' ');
        if (parameters != NULL) {
            *parameters++ = '\0';
        } else {
            parameters = "";
        }
        const int fd = open(line, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            Say("cannot open", line);
            continue;
        }
        if (syscall(SYS_finit_module, fd, parameters, 0) != 0 && errno != EEXIST) {
            Say("cannot load", line);
        }
        close(fd);
    }
    if (list != NULL) {
        fclose(list);
    }
}

/* The value of key=value on the kernel command line, or NULL. */
static char* CommandLineValue(const char* key) {
    static char text[4096];
    const int fd = open("/proc/cmdline", O_RDONLY);
    const ssize_t length = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0) {
        close(fd);
    }
    if (length <= 0) {
        return NULL;
    }
    text[length] = '\0';
    for (char* word = strtok(text, " \n"); word != NULL; word = strtok(NULL, " \n")) {
        if (strncmp(word, key, strlen(key)) == 0 && word[strlen(key)] == '=') {
            return word + strlen(key) + 1;
        }
    }
    return NULL;
}

int main(void) {
    mount("proc", "/proc", "proc", 0, NULL);
    mount("sysfs", "/sys", "sysfs", 0, NULL);
    mount("devtmpfs", "/dev", "devtmpfs", 0, NULL);
    LoadModules();
    const char* options = "trans=virtio,version=9p2000.L,cache=loose,msize=512000";
    mkdir("/host", 0755);
    if (mount("hostroot", "/host", "9p", MS_RDONLY, options) != 0) {
        Say("cannot mount", "the host's root");
    }
    mkdir("/rw", 0755);
    mount("tmpfs", "/rw", "tmpfs", 0, "size=2g");
    mkdir("/rw/upper", 0755);
    mkdir("/rw/work", 0755);
    mkdir("/root", 0755);
    if (mount("overlay", "/root", "overlay", 0,
              "lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work") != 0) {
        Say("cannot mount", "the overlay");
    }
    mount("/proc", "/root/proc", NULL, MS_BIND | MS_REC, NULL);
    mount("/sys", "/root/sys", NULL, MS_BIND | MS_REC, NULL);
    mount("/dev", "/root/dev", NULL, MS_BIND | MS_REC, NULL);
    /* /tmp and /run stay as the overlay has them: writable, and showing what the host
     * keeps there (a build tree in /tmp, say). */
    mkdir("/root/results", 0755);
    if (mount("results", "/root/results", "9p", 0, options) != 0) {
        Say("cannot mount", "the results folder");
    }
    char* guest = CommandLineValue("qdp.guest");
    const pid_t child = fork();
    if (child == 0) {
        if (chroot("/root") != 0 || chdir("/") != 0) {
            Say("cannot enter", "the host's root");
            _exit(1);
        }
        setenv("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", 1);
        setenv("HOME", "/root", 1);
        execl("/usr/bin/python3", "python3", guest != NULL ? guest : "/nonexistent", (char*)NULL);
        Say("cannot run", "the guest script");
        _exit(1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    sync();
    reboot(RB_POWER_OFF);
    return 0;
}
