/* Host interface of a compiled simulation model library.
 *
 * A host loads the library, calls OrvoInitialize (the model registers its
 * variables), creates instances, reads and writes variables by number, starts
 * runs and observes them through callbacks. No call reports an error code:
 * invalid instance or variable numbers make a call do nothing or return a
 * neutral value (0, 0.0, null, false, 7 or 14 for the type queries), and
 * diagnostics arrive as texts at the instance's status callbacks.
 *
 * Instance numbers are 1..99 (0 means none); variable numbers are
 * 1..OrvoGetNumberSymbols(). Usable from C and C++. */
#ifndef ORVO_ORVO_H
#define ORVO_ORVO_H

#include <stdbool.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(ORVO_BUILDING_LIBRARY)
#    define ORVO_API __declspec(dllexport)
#  else
#    define ORVO_API __declspec(dllimport)
#  endif
#elif defined(ORVO_BUILDING_LIBRARY)
#  define ORVO_API __attribute__((visibility("default")))
#else
#  define ORVO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Types ------------------------------------------------------------- */

/* Data type codes reported by OrvoGetSymbolDatatype. */
enum {
    OrvoDataTypeShort = 0,   /* 16-bit signed integer */
    OrvoDataTypeLong = 1,    /* 32-bit signed integer */
    OrvoDataTypeReal = 2,    /* handled like double */
    OrvoDataTypeFloat = 3,
    OrvoDataTypeDouble = 4,
    OrvoDataTypeBool = 5,    /* one byte, 0 or 1 */
    OrvoDataTypeString = 6,  /* NUL-terminated characters */
    OrvoDataTypeInvalid = 7  /* answer for an invalid variable number */
};

/* Symbol type codes reported by OrvoGetSymbolType. */
enum {
    OrvoSymbolIndependentVariable = 0,
    OrvoSymbolIndependentStart = 1,
    OrvoSymbolState = 2,
    OrvoSymbolDerivative = 3,
    OrvoSymbolInitialCondition = 4,
    OrvoSymbolOther = 5,
    OrvoSymbolCommInterval = 6,
    OrvoSymbolAlgorithm = 7,
    OrvoSymbolStepsPerInterval = 8,
    OrvoSymbolMaxStep = 9,
    OrvoSymbolMinStep = 10,
    OrvoSymbolMinStepViolation = 11,
    OrvoSymbolControl = 12,
    OrvoSymbolSetting = 13,
    OrvoSymbolInvalid = 14
};

/* The value of the generic value calls: one member per data type; arrays
 * (and strings) travel as a pointer to their storage. Eight bytes. */
typedef union OrvoSymbolValue {
    int16_t shortValue;    /* data type 0 */
    int32_t longValue;     /* data type 1 */
    float floatValue;      /* data type 3 */
    double doubleValue;    /* data types 2 and 4 */
    bool boolValue;        /* data type 5 */
    char* stringValue;     /* data type 6 */
    void* arrayValue;      /* any array */
} OrvoSymbolValue;

/* Filled by OrvoGetSymbolInfo. The name and the dimensions point into the
 * library and stay valid while the model is loaded; do not free them. */
typedef struct OrvoSymbolInfo {
    uint32_t symbolType;
    uint32_t dataType;
    const char* name;
    uint32_t numDimensions;      /* leading non-zero extents, 0..6 */
    const uint32_t* dimensions;  /* six extents */
    uint8_t flags[11];           /* attribute flags 1..11 */
    uint32_t derivativeVariable;
    uint32_t initialConditionVariable;
    uint32_t stringLength;       /* bytes per element of a string array */
} OrvoSymbolInfo;

typedef enum OrvoExecutionState {
    OrvoExecutionCreated = 0,
    OrvoExecutionStarted = 1,
    OrvoExecutionInitialized = 3,
    OrvoExecutionFinished = 5,
    OrvoExecutionDebugStarted = 6,
    OrvoExecutionDebugFinished = 7,
    OrvoExecutionDebugPaused = 8,
    OrvoExecutionDebugContinued = 9,
    OrvoExecutionError = 10,  /* the run ended by an exception; 5 or 7 follows */
    OrvoExecutionContinued = 11
} OrvoExecutionState;

typedef enum OrvoTickType {
    OrvoTickOutputPoint = 0,  /* every output point, and once at the end of a run */
    OrvoTickDebug = 1         /* every debug tick of a debug run */
} OrvoTickType;

/* How the model schedules an event: a time event or a state event. */
typedef enum OrvoScheduleType {
    OrvoScheduleTimeEvent = 0,
    OrvoScheduleStateEvent = 1,         /* zero crossing in either direction */
    OrvoScheduleRisingStateEvent = 2,
    OrvoScheduleFallingStateEvent = 3
} OrvoScheduleType;

typedef enum OrvoDebugState {
    OrvoDebugNotDebugging = 0,
    OrvoDebugRunning = 1,
    OrvoDebugPauseRequested = 2,
    OrvoDebugPaused = 3,
    OrvoDebugStopRequested = 4
} OrvoDebugState;

/* Callbacks get the instance number and the user data given at registration
 * first. During a non-blocking run they are called on the run thread. */
typedef void (*OrvoStatusCallback)(uint32_t instance, uint32_t userData, const char* text);
typedef void (*OrvoErrorCallback)(uint32_t instance, uint32_t userData, uint32_t code,
                                  const char* text);
typedef void (*OrvoTickCallback)(uint32_t instance, uint32_t userData, OrvoTickType tick);
typedef void (*OrvoDiscreteEventCallback)(uint32_t instance, uint32_t userData,
                                          uint32_t sectionCode);
typedef void (*OrvoSymbolWatchCallback)(uint32_t instance, uint32_t userData, uint32_t variable);
typedef void (*OrvoExecutionStateCallback)(uint32_t instance, uint32_t userData,
                                           OrvoExecutionState oldState,
                                           OrvoExecutionState newState);

/* ---- Lifecycle and run control ------------------------------------------ */

/* One run at a time. All instances share the model's storage, so a start
 * (OrvoStart, OrvoStartBlocking, OrvoContinue, OrvoContinueBlocking,
 * OrvoPreStep, OrvoStep, OrvoRunToTime, OrvoStepIncr, OrvoDebugStart) first
 * ends a background run still going, and is refused with a status message
 * ("Run control error: another run is in progress; the start is refused.")
 * while another host thread is inside a start, a blocking run included.
 * OrvoInitialize, OrvoFinalize and OrvoDestroy likewise end a background run
 * first (only the destroyed instance's, for OrvoDestroy) and are refused the
 * same way while another thread is inside a start.
 *
 * From inside a run - any callback, on the run thread or on the host's
 * thread during a blocking call - starts, OrvoInitialize, OrvoFinalize and
 * OrvoDestroy are refused with a status message ("Run control error: ...
 * cannot be called from inside a running simulation ..."); nothing is
 * released while the run still uses it. Call OrvoStop from the callback and
 * destroy after the run has ended.
 *
 * Unloading the library ends a background run without calling any callback. */

/* Always 0x10000. */
ORVO_API int32_t OrvoGetVersion(void);
/* Clears the instance table and lets the model register itself. Call first. */
ORVO_API void OrvoInitialize(void);
/* Destroys every instance. */
ORVO_API void OrvoFinalize(void);
/* The new instance number, or 0 when 99 instances exist. Also 0, with a
 * status message, from inside a run and while a background run is in
 * progress: the new instance would become the one run. */
ORVO_API uint32_t OrvoCreate(void);
ORVO_API void OrvoDestroy(uint32_t instance);
/* Evaluates a derivative section once; codes outside 500..999 mean 500.
 * Nothing for a free instance slot. */
ORVO_API void OrvoCalcDeriv(uint32_t instance, uint32_t sectionCode);

/* The start calls run the most recently created instance. */
ORVO_API void OrvoStart(uint32_t instance);
ORVO_API void OrvoStartBlocking(uint32_t instance);
/* Continuing (and OrvoStep) needs an instance that has run or pre-stepped
 * before; otherwise it is refused with one status message. */
ORVO_API void OrvoContinue(uint32_t instance);
ORVO_API void OrvoContinueBlocking(uint32_t instance);
/* Asks the run to end before its next communication interval. */
ORVO_API void OrvoStop(uint32_t instance);
/* The next start begins where the last run ended. */
ORVO_API void OrvoReinitialize(uint32_t instance);
/* Runs the initial section only. */
ORVO_API void OrvoPreStep(uint32_t instance);
/* Runs exactly one communication interval. */
ORVO_API void OrvoStep(uint32_t instance);
/* Runs intervals until targetTime; stops early at a stop, or at an interval
 * that ends in the error state. */
ORVO_API void OrvoRunToTime(uint32_t instance, double targetTime);
ORVO_API void OrvoStepIncr(uint32_t instance, double increment);

ORVO_API void OrvoSetRelativeError(uint32_t instance, uint32_t variable, double value);
ORVO_API void OrvoSetAbsoluteError(uint32_t instance, uint32_t variable, double value);
/* -1.0 for an invalid variable. */
ORVO_API double OrvoGetRelativeError(uint32_t instance, uint32_t variable);
ORVO_API double OrvoGetAbsoluteError(uint32_t instance, uint32_t variable);

ORVO_API uint32_t OrvoGetNumberDerivativeSections(void);
/* Section names are not recorded: always null and 0. */
ORVO_API const char* OrvoGetDerivativeSectionName(uint32_t section);
ORVO_API int32_t OrvoGetDerivativeSectionIndex(const char* name);
ORVO_API uint32_t OrvoGetNumberDiscreteSections(void);
ORVO_API const char* OrvoGetDiscreteSectionName(uint32_t section);
ORVO_API int32_t OrvoGetDiscreteSectionIndex(const char* name);

/* Operation 0 clears the solver's synchronization times; any other adds the
 * `count` ascending times of *data. */
ORVO_API void OrvoSetDataBlock(uint32_t instance, int32_t operation, int32_t reserved1,
                               int32_t reserved2, int32_t count, double** data);

/* ---- Symbol table ------------------------------------------------------- */

ORVO_API uint32_t OrvoGetNumberSymbols(void);
/* Variable number of the first name equal ignoring case; 0 when none. */
ORVO_API uint32_t OrvoGetSymbolIndex(const char* name);
ORVO_API bool OrvoGetSymbolInfo(uint32_t variable, OrvoSymbolInfo* info);
ORVO_API const char* OrvoGetSymbolName(uint32_t variable);
ORVO_API uint32_t OrvoGetSymbolDatatype(uint32_t variable);
ORVO_API uint32_t OrvoGetSymbolType(uint32_t variable);
/* Copies the six extents; `reserved` is not read. */
ORVO_API void OrvoGetSymbolDimensions(uint32_t variable, uint32_t reserved, uint32_t* dims);
/* Always 1; the arguments are not read. */
ORVO_API int32_t OrvoGetSymbolInitialValue(uint32_t instance, uint32_t variable);

/* ---- Generic values ----------------------------------------------------- */
/* Index sets are six 1-based indices, 0 for every dimension of extent 0;
 * elements are in column-major order (first index fastest). Writes that would
 * reach past a variable's storage are refused with a status message. */

ORVO_API bool OrvoGetSymbolValue(uint32_t instance, uint32_t variable, uint32_t* dataType,
                                 OrvoSymbolValue* value, uint32_t* dims);
/* Records dataType and dims as the variable's type and shape, then writes.
 * Instances and their solvers keep the shape the model registered. */
ORVO_API void OrvoSetSymbolValue(uint32_t instance, uint32_t variable, uint32_t dataType,
                                 OrvoSymbolValue value, const uint32_t* dims);
ORVO_API void OrvoGetSymbolValueIndexed(uint32_t instance, uint32_t variable, uint32_t* dataType,
                                        OrvoSymbolValue* value, const uint32_t* indices);
/* Records dataType as the variable's type, then writes one element. */
ORVO_API void OrvoSetSymbolValueIndexed(uint32_t instance, uint32_t variable, uint32_t dataType,
                                        const OrvoSymbolValue* value, const uint32_t* indices);

/* ---- Typed values --------------------------------------------------------
 * OrvoGet<T>/OrvoSet<T> act only when the variable's data type is exactly the
 * family's (otherwise 0 / nothing); for an array they address its first
 * element. The Indexed and 1..6 forms take an index set and record the
 * family's data type on writes. */

/* Short (data type code 0) */
ORVO_API int32_t OrvoGetShort(uint32_t instance, uint32_t variable);
ORVO_API void OrvoSetShort(uint32_t instance, uint32_t variable, int16_t value);
ORVO_API int32_t OrvoGetShortIndexed(uint32_t instance, uint32_t variable, const uint32_t* indices);
ORVO_API void OrvoSetShortIndexed(uint32_t instance, uint32_t variable, int16_t value,
    const uint32_t* indices);
ORVO_API int32_t OrvoGetShort1(uint32_t instance, uint32_t variable, uint32_t i1);
ORVO_API int32_t OrvoGetShort2(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2);
ORVO_API int32_t OrvoGetShort3(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3);
ORVO_API int32_t OrvoGetShort4(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4);
ORVO_API int32_t OrvoGetShort5(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4, uint32_t i5);
ORVO_API int32_t OrvoGetShort6(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4, uint32_t i5, uint32_t i6);
ORVO_API void OrvoSetShort1(uint32_t instance, uint32_t variable, int16_t value, uint32_t i1);
ORVO_API void OrvoSetShort2(uint32_t instance, uint32_t variable, int16_t value, uint32_t i1,
    uint32_t i2);
ORVO_API void OrvoSetShort3(uint32_t instance, uint32_t variable, int16_t value, uint32_t i1,
    uint32_t i2, uint32_t i3);
ORVO_API void OrvoSetShort4(uint32_t instance, uint32_t variable, int16_t value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4);
ORVO_API void OrvoSetShort5(uint32_t instance, uint32_t variable, int16_t value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5);
ORVO_API void OrvoSetShort6(uint32_t instance, uint32_t variable, int16_t value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5, uint32_t i6);

/* Long (data type code 1) */
ORVO_API int32_t OrvoGetLong(uint32_t instance, uint32_t variable);
ORVO_API void OrvoSetLong(uint32_t instance, uint32_t variable, int32_t value);
ORVO_API int32_t OrvoGetLongIndexed(uint32_t instance, uint32_t variable, const uint32_t* indices);
ORVO_API void OrvoSetLongIndexed(uint32_t instance, uint32_t variable, int32_t value,
    const uint32_t* indices);
ORVO_API int32_t OrvoGetLong1(uint32_t instance, uint32_t variable, uint32_t i1);
ORVO_API int32_t OrvoGetLong2(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2);
ORVO_API int32_t OrvoGetLong3(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3);
ORVO_API int32_t OrvoGetLong4(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4);
ORVO_API int32_t OrvoGetLong5(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4, uint32_t i5);
ORVO_API int32_t OrvoGetLong6(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4, uint32_t i5, uint32_t i6);
ORVO_API void OrvoSetLong1(uint32_t instance, uint32_t variable, int32_t value, uint32_t i1);
ORVO_API void OrvoSetLong2(uint32_t instance, uint32_t variable, int32_t value, uint32_t i1,
    uint32_t i2);
ORVO_API void OrvoSetLong3(uint32_t instance, uint32_t variable, int32_t value, uint32_t i1,
    uint32_t i2, uint32_t i3);
ORVO_API void OrvoSetLong4(uint32_t instance, uint32_t variable, int32_t value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4);
ORVO_API void OrvoSetLong5(uint32_t instance, uint32_t variable, int32_t value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5);
ORVO_API void OrvoSetLong6(uint32_t instance, uint32_t variable, int32_t value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5, uint32_t i6);

/* Float (data type code 3) */
ORVO_API float OrvoGetFloat(uint32_t instance, uint32_t variable);
ORVO_API void OrvoSetFloat(uint32_t instance, uint32_t variable, float value);
ORVO_API float OrvoGetFloatIndexed(uint32_t instance, uint32_t variable, const uint32_t* indices);
ORVO_API void OrvoSetFloatIndexed(uint32_t instance, uint32_t variable, float value,
    const uint32_t* indices);
ORVO_API float OrvoGetFloat1(uint32_t instance, uint32_t variable, uint32_t i1);
ORVO_API float OrvoGetFloat2(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2);
ORVO_API float OrvoGetFloat3(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3);
ORVO_API float OrvoGetFloat4(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4);
ORVO_API float OrvoGetFloat5(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4, uint32_t i5);
ORVO_API float OrvoGetFloat6(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4, uint32_t i5, uint32_t i6);
ORVO_API void OrvoSetFloat1(uint32_t instance, uint32_t variable, float value, uint32_t i1);
ORVO_API void OrvoSetFloat2(uint32_t instance, uint32_t variable, float value, uint32_t i1,
    uint32_t i2);
ORVO_API void OrvoSetFloat3(uint32_t instance, uint32_t variable, float value, uint32_t i1,
    uint32_t i2, uint32_t i3);
ORVO_API void OrvoSetFloat4(uint32_t instance, uint32_t variable, float value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4);
ORVO_API void OrvoSetFloat5(uint32_t instance, uint32_t variable, float value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5);
ORVO_API void OrvoSetFloat6(uint32_t instance, uint32_t variable, float value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5, uint32_t i6);

/* Double (data type code 4) */
ORVO_API double OrvoGetDouble(uint32_t instance, uint32_t variable);
ORVO_API void OrvoSetDouble(uint32_t instance, uint32_t variable, double value);
ORVO_API double OrvoGetDoubleIndexed(uint32_t instance, uint32_t variable, const uint32_t* indices);
ORVO_API void OrvoSetDoubleIndexed(uint32_t instance, uint32_t variable, double value,
    const uint32_t* indices);
ORVO_API double OrvoGetDouble1(uint32_t instance, uint32_t variable, uint32_t i1);
ORVO_API double OrvoGetDouble2(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2);
ORVO_API double OrvoGetDouble3(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3);
ORVO_API double OrvoGetDouble4(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4);
ORVO_API double OrvoGetDouble5(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4, uint32_t i5);
ORVO_API double OrvoGetDouble6(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4, uint32_t i5, uint32_t i6);
ORVO_API void OrvoSetDouble1(uint32_t instance, uint32_t variable, double value, uint32_t i1);
ORVO_API void OrvoSetDouble2(uint32_t instance, uint32_t variable, double value, uint32_t i1,
    uint32_t i2);
ORVO_API void OrvoSetDouble3(uint32_t instance, uint32_t variable, double value, uint32_t i1,
    uint32_t i2, uint32_t i3);
ORVO_API void OrvoSetDouble4(uint32_t instance, uint32_t variable, double value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4);
ORVO_API void OrvoSetDouble5(uint32_t instance, uint32_t variable, double value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5);
ORVO_API void OrvoSetDouble6(uint32_t instance, uint32_t variable, double value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5, uint32_t i6);

/* Bool (data type code 5) */
ORVO_API bool OrvoGetBool(uint32_t instance, uint32_t variable);
ORVO_API void OrvoSetBool(uint32_t instance, uint32_t variable, bool value);
ORVO_API bool OrvoGetBoolIndexed(uint32_t instance, uint32_t variable, const uint32_t* indices);
ORVO_API void OrvoSetBoolIndexed(uint32_t instance, uint32_t variable, bool value,
    const uint32_t* indices);
ORVO_API bool OrvoGetBool1(uint32_t instance, uint32_t variable, uint32_t i1);
ORVO_API bool OrvoGetBool2(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2);
ORVO_API bool OrvoGetBool3(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3);
ORVO_API bool OrvoGetBool4(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4);
ORVO_API bool OrvoGetBool5(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4, uint32_t i5);
ORVO_API bool OrvoGetBool6(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4, uint32_t i5, uint32_t i6);
ORVO_API void OrvoSetBool1(uint32_t instance, uint32_t variable, bool value, uint32_t i1);
ORVO_API void OrvoSetBool2(uint32_t instance, uint32_t variable, bool value, uint32_t i1,
    uint32_t i2);
ORVO_API void OrvoSetBool3(uint32_t instance, uint32_t variable, bool value, uint32_t i1,
    uint32_t i2, uint32_t i3);
ORVO_API void OrvoSetBool4(uint32_t instance, uint32_t variable, bool value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4);
ORVO_API void OrvoSetBool5(uint32_t instance, uint32_t variable, bool value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5);
ORVO_API void OrvoSetBool6(uint32_t instance, uint32_t variable, bool value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5, uint32_t i6);

/* String (data type code 6). The getters return null for a variable whose
 * data type is not 6. */
ORVO_API const char* OrvoGetString(uint32_t instance, uint32_t variable);
ORVO_API void OrvoSetString(uint32_t instance, uint32_t variable, const char* value);
ORVO_API const char* OrvoGetStringIndexed(uint32_t instance, uint32_t variable,
    const uint32_t* indices);
ORVO_API void OrvoSetStringIndexed(uint32_t instance, uint32_t variable, const char* value,
    const uint32_t* indices);
ORVO_API const char* OrvoGetString1(uint32_t instance, uint32_t variable, uint32_t i1);
ORVO_API const char* OrvoGetString2(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2);
ORVO_API const char* OrvoGetString3(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3);
ORVO_API const char* OrvoGetString4(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4);
ORVO_API const char* OrvoGetString5(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4, uint32_t i5);
ORVO_API const char* OrvoGetString6(uint32_t instance, uint32_t variable, uint32_t i1, uint32_t i2,
    uint32_t i3, uint32_t i4, uint32_t i5, uint32_t i6);
ORVO_API void OrvoSetString1(uint32_t instance, uint32_t variable, const char* value, uint32_t i1);
ORVO_API void OrvoSetString2(uint32_t instance, uint32_t variable, const char* value, uint32_t i1,
    uint32_t i2);
ORVO_API void OrvoSetString3(uint32_t instance, uint32_t variable, const char* value, uint32_t i1,
    uint32_t i2, uint32_t i3);
ORVO_API void OrvoSetString4(uint32_t instance, uint32_t variable, const char* value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4);
ORVO_API void OrvoSetString5(uint32_t instance, uint32_t variable, const char* value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5);
ORVO_API void OrvoSetString6(uint32_t instance, uint32_t variable, const char* value, uint32_t i1,
    uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5, uint32_t i6);
/* ---- Callbacks ---------------------------------------------------------- *
 * Callbacks run in registration order. Removal matches the user data (and the
 * section code or variable), never the function. */

ORVO_API void OrvoAddStatusCallback(uint32_t instance, uint32_t userData,
                                    OrvoStatusCallback function);
ORVO_API void OrvoRemoveStatusCallback(uint32_t instance, uint32_t userData,
                                       OrvoStatusCallback function);
ORVO_API void OrvoAddErrorCallback(uint32_t instance, uint32_t userData,
                                   OrvoErrorCallback function);
ORVO_API void OrvoRemoveErrorCallback(uint32_t instance, uint32_t userData,
                                      OrvoErrorCallback function);
ORVO_API void OrvoAddTickCallbackFunction(uint32_t instance, uint32_t userData,
                                          OrvoTickCallback function);
ORVO_API void OrvoRemoveTickCallbackFunction(uint32_t instance, uint32_t userData,
                                             OrvoTickCallback function);
ORVO_API void OrvoAddDiscreteEventCallbackFunction(uint32_t instance, uint32_t userData,
                                                   uint32_t sectionCode,
                                                   OrvoDiscreteEventCallback function);
ORVO_API void OrvoRemoveDiscreteEventCallbackFunction(uint32_t instance, uint32_t userData,
                                                      uint32_t sectionCode,
                                                      OrvoDiscreteEventCallback function);
/* The watch fires at every output point at which the variable's value differs
 * from its value at registration. */
ORVO_API void OrvoAddSymbolWatchCallback(uint32_t instance, uint32_t userData, uint32_t variable,
                                         OrvoSymbolWatchCallback function);
ORVO_API void OrvoRemoveSymbolWatchCallback(uint32_t instance, uint32_t userData,
                                            uint32_t variable, OrvoSymbolWatchCallback function);
ORVO_API void OrvoAddExecutionStateChangeCallbackFunction(uint32_t instance, uint32_t userData,
                                                          OrvoExecutionStateCallback function);
ORVO_API void OrvoRemoveExecutionStateChangeCallbackFunction(uint32_t instance,
                                                             uint32_t userData,
                                                             OrvoExecutionStateCallback function);

/* ---- Debugger ------------------------------------------------------------ *
 * The debugger acts on the most recently created instance; only
 * OrvoDebugStart reads its instance argument. */

ORVO_API void OrvoDebugStart(uint32_t instance);
ORVO_API void OrvoDebugStep(uint32_t instance);
ORVO_API void OrvoDebugStop(uint32_t instance);
ORVO_API void OrvoDebugBreak(uint32_t instance);
/* State 9 is reported by the run thread once it runs again, after the whole
 * report of 8; any debug export may be called from a state-8 callback. */
ORVO_API void OrvoDebugContinue(uint32_t instance);
/* Suspend pauses the run at its next interval or debug tick; each needs one
 * Resume. A Resume with no Suspend pending releases a debugger pause like
 * OrvoDebugContinue (state 9); with nothing paused it does nothing. */
ORVO_API void OrvoDebugSuspend(uint32_t instance);
ORVO_API void OrvoDebugResume(uint32_t instance);
ORVO_API void OrvoDebugAddBreakpoint(uint32_t instance, uint32_t line, const char* fileName,
                                     const char* blockName);
ORVO_API void OrvoDebugRemoveBreakpoint(uint32_t instance, uint32_t line, const char* fileName,
                                        const char* blockName);
ORVO_API void OrvoDebugClearAllBreakpoints(uint32_t instance);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* ORVO_ORVO_H */
