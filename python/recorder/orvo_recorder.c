/* Collects the values of a run's recorded variables at every output point
 * into a buffer, from the model library's tick callback, so that the Python
 * package reads a whole run once instead of calling into Python per point.
 *
 * The package takes a slot per recording (it hands out slot numbers; no two
 * runs share one), passes the library's OrvoGetDouble, the variables and a
 * first capacity, registers orvo_recorder_tick with user data
 * ORVO_RECORDER_USER_DATA + slot, runs, and reads the rows. Needs nothing but
 * the C library: the getter comes in as a function pointer.
 *
 * Ctrl-C without Python in the loop: while armed, a SIGINT handler notes the
 * signal and passes it on to the handler it replaced (Python's), and the
 * next tick stops the run through the library's OrvoStop; Python raises
 * KeyboardInterrupt once the run has returned. */
#include <math.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))
#define ORVO_RECORDER_SLOTS 64
#define ORVO_RECORDER_USER_DATA 0x52450000u

typedef double (*GetDouble)(uint32_t instance, uint32_t variable);
typedef void (*StopRun)(uint32_t instance);

typedef struct Recording {
    GetDouble get;
    uint32_t time_variable;
    uint32_t* variables;
    uint32_t count;
    double* rows;        /* row-major: time, then the variables */
    size_t used;         /* rows recorded */
    size_t capacity;     /* rows the buffer holds */
    double last_time;
    int out_of_memory;
} Recording;

static Recording recordings[ORVO_RECORDER_SLOTS];

static volatile sig_atomic_t interrupted;
static StopRun stop_run;
static struct sigaction replaced;
static int armed;

static void OnInterrupt(int signal_number, siginfo_t* info, void* context) {
    interrupted = 1;
    if (replaced.sa_flags & SA_SIGINFO) {
        if (replaced.sa_sigaction) replaced.sa_sigaction(signal_number, info, context);
    } else if (replaced.sa_handler != SIG_DFL && replaced.sa_handler != SIG_IGN) {
        replaced.sa_handler(signal_number);
    }
}

/* Takes SIGINT until disarmed; `stop` is the library's OrvoStop. 0 when
 * armed, -1 when not (already armed, or sigaction failed). */
EXPORT int orvo_recorder_arm(void* stop) {
    if (armed || !stop) return -1;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = OnInterrupt;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    interrupted = 0;
    stop_run = (StopRun)stop;
    if (sigaction(SIGINT, &action, &replaced) != 0) return -1;
    armed = 1;
    return 0;
}

/* Puts the replaced handler back; 1 when a SIGINT came meanwhile. */
EXPORT int orvo_recorder_disarm(void) {
    if (armed) sigaction(SIGINT, &replaced, NULL);
    armed = 0;
    stop_run = NULL;
    return interrupted ? 1 : 0;
}

static Recording* Slot(int slot) {
    return slot >= 0 && slot < ORVO_RECORDER_SLOTS ? &recordings[slot] : NULL;
}

EXPORT int orvo_recorder_slots(void) { return ORVO_RECORDER_SLOTS; }

EXPORT uint32_t orvo_recorder_user_data(int slot) { return ORVO_RECORDER_USER_DATA + (uint32_t)slot; }

EXPORT void orvo_recorder_close(int slot) {
    Recording* r = Slot(slot);
    if (!r) return;
    free(r->variables);
    free(r->rows);
    memset(r, 0, sizeof *r);
}

/* 0 when ready, -1 for a bad slot or getter, -2 when out of memory. */
EXPORT int orvo_recorder_open(int slot, void* get_double, uint32_t time_variable, const uint32_t* variables,
                       uint32_t count, size_t capacity) {
    Recording* r = Slot(slot);
    if (!r || !get_double) return -1;
    orvo_recorder_close(slot);
    if (capacity < 4) capacity = 4;
    r->variables = malloc((count ? count : 1) * sizeof *r->variables);
    r->rows = malloc(capacity * (count + 1) * sizeof *r->rows);
    if (!r->variables || !r->rows) {
        orvo_recorder_close(slot);
        return -2;
    }
    if (count) memcpy(r->variables, variables, count * sizeof *variables);
    r->get = (GetDouble)get_double;
    r->time_variable = time_variable;
    r->count = count;
    r->capacity = capacity;
    r->used = 0;
    r->last_time = NAN;
    return 0;
}

/* The tick callback (OrvoTickCallback): a row at every output point, one per
 * time (the run ticks once more at its end, usually at the last point's). */
EXPORT void orvo_recorder_tick(uint32_t instance, uint32_t user_data, int tick) {
    Recording* r = Slot((int)(user_data - ORVO_RECORDER_USER_DATA));
    if (interrupted && stop_run) stop_run(instance);
    if (!r || !r->get || tick != 0 || r->out_of_memory) return;
    const double now = r->get(instance, r->time_variable);
    if (now == r->last_time) return;
    if (r->used == r->capacity) {
        const size_t grown = r->capacity * 2;
        double* rows = realloc(r->rows, grown * (r->count + 1) * sizeof *rows);
        if (!rows) {
            r->out_of_memory = 1;
            return;
        }
        r->rows = rows;
        r->capacity = grown;
    }
    double* row = r->rows + r->used * (r->count + 1);
    row[0] = now;
    for (uint32_t k = 0; k < r->count; ++k) row[k + 1] = r->get(instance, r->variables[k]);
    r->last_time = now;
    r->used += 1;
}

/* Rows recorded; -1 when a row was lost for want of memory. */
EXPORT long long orvo_recorder_rows(int slot) {
    Recording* r = Slot(slot);
    if (!r) return 0;
    return r->out_of_memory ? -1 : (long long)r->used;
}

EXPORT const double* orvo_recorder_data(int slot) {
    Recording* r = Slot(slot);
    return r ? r->rows : NULL;
}
