/* A host written in C: loads the shared model library at run time and checks
 * the carried model through the exported functions alone. */
#include <dlfcn.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "orvo/orvo.h"

static int failures = 0;

#define CHECK(condition)                                                   \
    do {                                                                   \
        if (!(condition)) {                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__,         \
                    __LINE__, #condition);                                 \
            ++failures;                                                    \
        }                                                                  \
    } while (0)

#define CHECK_NEAR(actual, expected)                                       \
    CHECK(fabs((actual) - (expected)) <= 1e-12 * fabs(expected))

/* One pointer per export used, typed from its declaration in orvo.h. */
#define EXPORT(name) static __typeof__(&name) p##name
EXPORT(OrvoGetVersion);
EXPORT(OrvoInitialize);
EXPORT(OrvoFinalize);
EXPORT(OrvoCreate);
EXPORT(OrvoDestroy);
EXPORT(OrvoGetNumberSymbols);
EXPORT(OrvoGetSymbolIndex);
EXPORT(OrvoGetSymbolInfo);
EXPORT(OrvoGetDouble);
EXPORT(OrvoGetLong);
EXPORT(OrvoGetDouble1);
EXPORT(OrvoAddStatusCallback);
EXPORT(OrvoRemoveStatusCallback);

static int Resolve(void* library) {
    int missing = 0;
#define RESOLVE(name)                                                      \
    do {                                                                   \
        *(void**)(&p##name) = dlsym(library, #name);                       \
        if (!p##name) {                                                    \
            fprintf(stderr, "missing export %s\n", #name);                 \
            missing = 1;                                                   \
        }                                                                  \
    } while (0)
    RESOLVE(OrvoGetVersion);
    RESOLVE(OrvoInitialize);
    RESOLVE(OrvoFinalize);
    RESOLVE(OrvoCreate);
    RESOLVE(OrvoDestroy);
    RESOLVE(OrvoGetNumberSymbols);
    RESOLVE(OrvoGetSymbolIndex);
    RESOLVE(OrvoGetSymbolInfo);
    RESOLVE(OrvoGetDouble);
    RESOLVE(OrvoGetLong);
    RESOLVE(OrvoGetDouble1);
    RESOLVE(OrvoAddStatusCallback);
    RESOLVE(OrvoRemoveStatusCallback);
#undef RESOLVE
    return !missing;
}

/* Status texts as "<user data>:<text>" lines. */
static char received[1024];

static void Status(uint32_t instance, uint32_t userData, const char* text) {
    size_t used = strlen(received);
    (void)instance;
    snprintf(received + used, sizeof received - used, "%u:%s\n", userData, text);
}

static void CheckSymbols(uint32_t instance) {
    uint32_t variable;
    OrvoSymbolInfo info;

    CHECK(pOrvoGetNumberSymbols() == 537);
    CHECK(pOrvoGetSymbolIndex("T") == 1);
    CHECK(pOrvoGetSymbolIndex("zzticg") == 537);
    CHECK(pOrvoGetSymbolIndex("no_such_variable") == 0);

    CHECK_NEAR(pOrvoGetDouble(instance, pOrvoGetSymbolIndex("bw_m")), 72.3);
    CHECK(pOrvoGetLong(instance, pOrvoGetSymbolIndex("ialg")) == 14);
    CHECK_NEAR(pOrvoGetDouble(instance, pOrvoGetSymbolIndex("aplasma_mi")), 5.5555e33);

    variable = pOrvoGetSymbolIndex("aelim_mp_lastwk");
    CHECK(variable == 38);
    CHECK(pOrvoGetSymbolInfo(variable, &info));
    CHECK(info.derivativeVariable == 80);
    CHECK(info.initialConditionVariable == 122);

    variable = pOrvoGetSymbolIndex("clf_uim_t");
    CHECK(pOrvoGetSymbolInfo(variable, &info));
    CHECK(info.numDimensions == 1);
    CHECK(info.dimensions[0] == 16 && info.dimensions[1] == 0);
    CHECK_NEAR(pOrvoGetDouble1(instance, variable, 1), 0.0633);
    CHECK_NEAR(pOrvoGetDouble1(instance, variable, 8), 0.2955);
    CHECK_NEAR(pOrvoGetDouble1(instance, variable, 9), 50.0);
    CHECK_NEAR(pOrvoGetDouble1(instance, variable, 16), 350.0);

    variable = pOrvoGetSymbolIndex("kdegt3f_mi_t");
    CHECK(pOrvoGetSymbolInfo(variable, &info));
    CHECK(info.dimensions[0] == 16);
    CHECK_NEAR(pOrvoGetDouble1(instance, variable, 1), 0.00099);
    CHECK_NEAR(pOrvoGetDouble1(instance, variable, 8), 0.001725);
}

static void CheckInstanceTable(uint32_t first) {
    uint32_t created = 1; /* `first` exists already */
    uint32_t instance;
    CHECK(first == 1);
    while ((instance = pOrvoCreate()) != 0) {
        CHECK(instance == created + 1);
        ++created;
    }
    CHECK(created == 99);
    pOrvoDestroy(5);
    CHECK(pOrvoCreate() == 5);
    CHECK(pOrvoCreate() == 0);
    for (instance = 2; instance <= 99; ++instance) pOrvoDestroy(instance);
    CHECK(pOrvoCreate() == 2);
    pOrvoDestroy(2);
}

static void CheckCallbacks(uint32_t instance) {
    uint32_t bw = pOrvoGetSymbolIndex("bw_m");
    pOrvoAddStatusCallback(instance, 1, Status);
    pOrvoAddStatusCallback(instance, 2, Status);
    /* An index on a scalar is invalid and reported to every status callback. */
    received[0] = '\0';
    CHECK(pOrvoGetDouble1(instance, bw, 1) == 0.0);
    CHECK(strcmp(received, "1:Error: Invalid array index.\n2:Error: Invalid array index.\n") == 0);

    pOrvoRemoveStatusCallback(instance, 2, Status);
    received[0] = '\0';
    pOrvoGetDouble1(instance, bw, 1);
    CHECK(strcmp(received, "1:Error: Invalid array index.\n") == 0);
}

int main(void) {
    uint32_t instance;
    void* library = dlopen(ORVO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "cannot load %s: %s\n", ORVO_LIBRARY_PATH, dlerror());
        return 1;
    }
    if (!Resolve(library)) return 1;

    CHECK(pOrvoGetVersion() == 65536);
    pOrvoInitialize();
    instance = pOrvoCreate();
    CheckSymbols(instance);
    CheckInstanceTable(instance);
    CheckCallbacks(instance);
    pOrvoFinalize();
    dlclose(library);

    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
