/* The floor for walking two trees: two threads take folders from one shared
 * stack, list each with getdents64 and ask every entry's status with
 * fstatat, as a compare must at the least; nothing is kept but counts.
 *   floorwalk LEFT RIGHT
 * Prints "files N folders N bytes N". bench/scale_bench.sh times it beside
 * find and corvanel-cli compare. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { WALKERS = 2 };

struct linux_dirent64
{
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

/* The folders still to list, full paths; busy counts walkers listing one,
 * so that an empty stack with none busy means the walk is over. */
static struct
{
    pthread_mutex_t lock;
    pthread_cond_t more;
    char **paths;
    size_t count, room;
    int busy;
} todo = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, NULL, 0, 0, 0};

struct tally
{
    uint64_t files, folders, bytes;
};

static void push(char *path)
{
    pthread_mutex_lock(&todo.lock);
    if (todo.count == todo.room) {
        todo.room = todo.room ? todo.room * 2 : 1024;
        todo.paths = realloc(todo.paths, todo.room * sizeof *todo.paths);
        if (!todo.paths) {
            perror("floorwalk");
            exit(1);
        }
    }
    todo.paths[todo.count++] = path;
    pthread_cond_signal(&todo.more);
    pthread_mutex_unlock(&todo.lock);
}

/* The next folder, or NULL when every walker is idle and none is left. */
static char *pop(int finished_one)
{
    pthread_mutex_lock(&todo.lock);
    todo.busy -= finished_one;
    while (todo.count == 0 && todo.busy > 0)
        pthread_cond_wait(&todo.more, &todo.lock);
    char *path = NULL;
    if (todo.count > 0) {
        path = todo.paths[--todo.count];
        ++todo.busy;
    } else {
        pthread_cond_broadcast(&todo.more);
    }
    pthread_mutex_unlock(&todo.lock);
    return path;
}

static void list(const char *path, struct tally *tally)
{
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    ++tally->folders;
    size_t length = strlen(path);
    char buffer[64 * 1024];
    long got;
    while ((got = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < got;) {
            struct linux_dirent64 *entry = (struct linux_dirent64 *)(buffer + at);
            at += entry->d_reclen;
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            struct stat status;
            if (fstatat(fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(status.st_mode)) {
                size_t n = strlen(name);
                char *child = malloc(length + n + 2);
                memcpy(child, path, length);
                child[length] = '/';
                memcpy(child + length + 1, name, n + 1);
                push(child);
            } else {
                ++tally->files;
                tally->bytes += (uint64_t)status.st_size;
            }
        }
    }
    close(fd);
}

static void *walk(void *arg)
{
    struct tally *tally = arg;
    int finished = 0;
    char *path;
    while ((path = pop(finished)) != NULL) {
        list(path, tally);
        free(path);
        finished = 1;
    }
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: floorwalk LEFT RIGHT\n");
        return 2;
    }
    push(strdup(argv[1]));
    push(strdup(argv[2]));
    pthread_t threads[WALKERS];
    struct tally tallies[WALKERS] = {{0}};
    for (int i = 0; i < WALKERS; ++i)
        pthread_create(&threads[i], NULL, walk, &tallies[i]);
    struct tally sum = {0};
    for (int i = 0; i < WALKERS; ++i) {
        pthread_join(threads[i], NULL);
        sum.files += tallies[i].files;
        sum.folders += tallies[i].folders;
        sum.bytes += tallies[i].bytes;
    }
    printf("files %llu folders %llu bytes %llu\n", (unsigned long long)sum.files, (unsigned long long)sum.folders,
           (unsigned long long)sum.bytes);
    return sum.folders > 0 ? 0 : 1;
}
