/* The objects of the stand-in library and its one exported entry point.
 *
 * Every object is a StandinObject whose first member is the public object, so
 * the word the caller sees first is the pointer to the table of operations.
 * An object starts with one reference for the caller and is freed when its
 * last reference is released. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "standin.h"

typedef enum ObjectKind { kindFramework, kindParameters, kindConnection, kindSettings } ObjectKind;

static const char* const kindNames[] = {"framework", "parameters", "connection", "settings"};

typedef struct StandinObject {
    union {
        zosysFramework framework;
        zosysParameters parameters;
        zosysConnection connection;
        zosysSettings settings;
    } face;
    ObjectKind kind;
    uint32_t id;
    uint32_t references;
    int configured;
} StandinObject;

/* The values the service passes; any other value fails the call. */
static const int32_t kFrameworkMode = 1;
static const uint32_t kFrameworkOptions = 0;
static const uint32_t kParameterFlags = 0x103A000u;
static const uint32_t kParameterLevel = 4;
static const wchar_t kLocalTarget[] = L"//localhost";
static const int32_t kConnectionMode = 1;
static const int32_t kSettingsAccess = 1;
static const uint32_t kDeploymentSettingId = 0x13000000u;

static uint32_t lastObjectId;
/* Injected failures of the entry point since it last succeeded. */
static uint32_t injectedFailures;

static StandinObject* asStandinObject(void* face) {
    return (StandinObject*)face;
}

/* "kind#id" of a stand-in object for the trace. */
static void describeObject(const StandinObject* object, char* out, size_t size) {
    if (object == NULL) {
        snprintf(out, size, "null");
    } else {
        snprintf(out, size, "%s#%u", kindNames[object->kind], object->id);
    }
}

static const zosysFrameworkOperations frameworkOperations;
static const zosysParametersOperations parametersOperations;
static const zosysConnectionOperations connectionOperations;
static const zosysSettingsOperations settingsOperations;

static StandinObject* createObject(ObjectKind kind) {
    StandinObject* object = calloc(1, sizeof *object);
    if (object == NULL) {
        return NULL;
    }
    switch (kind) {
        case kindFramework:
            object->face.framework.operations = &frameworkOperations;
            break;
        case kindParameters:
            object->face.parameters.operations = &parametersOperations;
            break;
        case kindConnection:
            object->face.connection.operations = &connectionOperations;
            break;
        case kindSettings:
            object->face.settings.operations = &settingsOperations;
            break;
    }
    object->kind = kind;
    object->id = __atomic_add_fetch(&lastObjectId, 1, __ATOMIC_SEQ_CST);
    object->references = 1;
    standinAddLiveReferences(1);
    return object;
}

/* Traces "<object> <call> = <result>" (the entry point has no object) and,
 * when out is not empty, " -> <out>": what the call handed back. */
static void traceResult(const StandinObject* self, const char* call, long long result,
                        const char* out) {
    char selfText[48] = "";
    if (self != NULL) {
        describeObject(self, selfText, sizeof selfText - 1);
        strncat(selfText, " ", sizeof selfText - strlen(selfText) - 1);
    }
    standinTrace("%s%s = %lld%s%s", selfText, call, result, *out != '\0' ? " -> " : "", out);
}

/* Traces a call that hands back the object it created, if any. */
static void traceCall(const StandinObject* self, const char* call, zosysStatus status,
                      const StandinObject* created) {
    char createdText[40] = "";
    if (created != NULL) {
        describeObject(created, createdText, sizeof createdText);
    }
    traceResult(self, call, status, createdText);
}

/* ---- operations every object has ---- */

static zosysStatus queryObject(StandinObject* self, const zosysInterfaceId* id, void** object) {
    static const zosysInterfaceId baseInterface = ZOSYS_BASE_INTERFACE_ID_INIT;
    zosysStatus status = 0;
    char call[96] = "queryInterface(null)";
    if (object == NULL || id == NULL) {
        status = kStandinWrongArgument;
    } else {
        snprintf(call, sizeof call,
                 "queryInterface(%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X)", id->data1,
                 id->data2, id->data3, id->data4[0], id->data4[1], id->data4[2], id->data4[3],
                 id->data4[4], id->data4[5], id->data4[6], id->data4[7]);
        *object = NULL;
        if (memcmp(id, &baseInterface, sizeof baseInterface) != 0) {
            status = kStandinNoSuchInterface;
        } else {
            __atomic_add_fetch(&self->references, 1, __ATOMIC_SEQ_CST);
            standinAddLiveReferences(1);
            *object = &self->face;
        }
    }
    traceCall(self, call, status, NULL);
    return status;
}

static uint32_t addObjectReference(StandinObject* self) {
    uint32_t references = __atomic_add_fetch(&self->references, 1, __ATOMIC_SEQ_CST);
    standinAddLiveReferences(1);
    traceResult(self, "addReference()", references, "");
    return references;
}

static uint32_t releaseObjectReference(StandinObject* self) {
    uint32_t references = __atomic_sub_fetch(&self->references, 1, __ATOMIC_SEQ_CST);
    standinAddLiveReferences(-1);
    traceResult(self, "releaseReference()", references, "");
    if (references == 0) {
        free(self);
    }
    return references;
}

/* Every position the service never calls: it fails and changes nothing. */
static zosysStatus unusedOperation(void* self) {
    traceCall(asStandinObject(self), "unusedOperation()", kStandinUnusedOperation, NULL);
    return kStandinUnusedOperation;
}

/* The leading three operations, typed for each kind of object. */
#define STANDIN_BASE_OPERATIONS(Type, prefix)                                         \
    static zosysStatus prefix##QueryInterface(Type* self, const zosysInterfaceId* id, \
                                              void** object) {                        \
        return queryObject(asStandinObject(self), id, object);                        \
    }                                                                                 \
    static uint32_t prefix##AddReference(Type* self) {                                \
        return addObjectReference(asStandinObject(self));                             \
    }                                                                                 \
    static uint32_t prefix##ReleaseReference(Type* self) {                            \
        return releaseObjectReference(asStandinObject(self));                         \
    }
#define STANDIN_BASE_TABLE(prefix)                                                  \
    .queryInterface = prefix##QueryInterface, .addReference = prefix##AddReference, \
    .releaseReference = prefix##ReleaseReference

STANDIN_BASE_OPERATIONS(zosysFramework, framework)
STANDIN_BASE_OPERATIONS(zosysParameters, parameters)
STANDIN_BASE_OPERATIONS(zosysConnection, connection)
STANDIN_BASE_OPERATIONS(zosysSettings, settings)

/* ---- the settings object ---- */

static zosysStatus readSetting(zosysSettings* self, uint32_t settingId, int32_t* value) {
    zosysStatus status = 0;
    int32_t setting = 0;
    if (settingId != kDeploymentSettingId || value == NULL) {
        status = kStandinWrongArgument;
    } else if (standinSettingErrorRequested() || standinDeploymentValue(&setting) != 0) {
        status = kStandinSettingUnreadable;
    } else {
        *value = setting;
    }
    char call[64];
    char valueText[16] = "";
    snprintf(call, sizeof call, "readSetting(0x%X)", settingId);
    if (status == 0) {
        snprintf(valueText, sizeof valueText, "%d", setting);
    }
    traceResult(asStandinObject(self), call, status, valueText);
    return status;
}

/* ---- the connection ---- */

static zosysStatus getSettings(zosysConnection* self, int32_t access, zosysSettings** settings,
                               int32_t* reserved) {
    zosysStatus status = 0;
    StandinObject* created = NULL;
    if (settings != NULL) {
        *settings = NULL;
    }
    if (access != kSettingsAccess || settings == NULL || reserved == NULL || *reserved != 0) {
        status = kStandinWrongArgument;
    } else if ((created = createObject(kindSettings)) == NULL) {
        status = kStandinOutOfMemory;
    } else {
        *settings = &created->face.settings;
    }
    char call[64];
    snprintf(call, sizeof call, "getSettings(%d, %d)", access, reserved != NULL ? *reserved : -1);
    traceCall(asStandinObject(self), call, status, created);
    return status;
}

/* ---- the parameter object ---- */

static zosysStatus configureParameters(zosysParameters* self, uint32_t flags, uint32_t level) {
    StandinObject* object = asStandinObject(self);
    zosysStatus status = kStandinWrongArgument;
    if (flags == kParameterFlags && level == kParameterLevel) {
        object->configured = 1;
        status = 0;
    }
    char call[64];
    snprintf(call, sizeof call, "configure(0x%X, %u)", flags, level);
    traceCall(object, call, status, NULL);
    return status;
}

/* ---- the framework ---- */

static int isConfiguredParameterObject(const zosysParameters* parameters) {
    return parameters != NULL && parameters->operations == &parametersOperations &&
           asStandinObject((void*)parameters)->configured;
}

static zosysStatus openConnection(zosysFramework* self, const wchar_t* target, int32_t mode,
                                  zosysParameters* parameters, zosysConnection** connection) {
    zosysStatus status = 0;
    StandinObject* created = NULL;
    if (connection != NULL) {
        *connection = NULL;
    }
    if (target == NULL || wcscmp(target, kLocalTarget) != 0 || mode != kConnectionMode ||
        !isConfiguredParameterObject(parameters) || connection == NULL) {
        status = kStandinWrongArgument;
    } else if ((created = createObject(kindConnection)) == NULL) {
        status = kStandinOutOfMemory;
    } else {
        *connection = &created->face.connection;
    }
    char targetText[64];
    char parametersText[48] = "foreign";
    standinNarrowForTrace(target, targetText, sizeof targetText);
    if (parameters == NULL || parameters->operations == &parametersOperations) {
        describeObject(asStandinObject(parameters), parametersText, sizeof parametersText);
    }
    char call[160];
    snprintf(call, sizeof call, "openConnection(\"%s\", %d, %s)", targetText, mode, parametersText);
    traceCall(asStandinObject(self), call, status, created);
    return status;
}

static zosysStatus createParameters(zosysFramework* self, zosysParameters** parameters) {
    zosysStatus status = 0;
    StandinObject* created = NULL;
    if (parameters == NULL) {
        status = kStandinWrongArgument;
    } else if ((created = createObject(kindParameters)) == NULL) {
        *parameters = NULL;
        status = kStandinOutOfMemory;
    } else {
        *parameters = &created->face.parameters;
    }
    traceCall(asStandinObject(self), "createParameters()", status, created);
    return status;
}

/* ---- the tables of operations ---- */

#define UNUSED_1 unusedOperation
#define UNUSED_5 UNUSED_1, UNUSED_1, UNUSED_1, UNUSED_1, UNUSED_1

static const zosysFrameworkOperations frameworkOperations = {
    STANDIN_BASE_TABLE(framework),        .unused3 = UNUSED_1,
    .openConnection = openConnection,     .unused5to9 = {UNUSED_5},
    .createParameters = createParameters,
};
static const zosysParametersOperations parametersOperations = {
    STANDIN_BASE_TABLE(parameters),
    .unused3to9 = {UNUSED_5, UNUSED_1, UNUSED_1},
    .configure = configureParameters,
};
static const zosysConnectionOperations connectionOperations = {
    STANDIN_BASE_TABLE(connection),
    .getSettings = getSettings,
};
static const zosysSettingsOperations settingsOperations = {
    STANDIN_BASE_TABLE(settings),
    .unused3to14 = {UNUSED_5, UNUSED_5, UNUSED_1, UNUSED_1},
    .readSetting = readSetting,
};

/* ---- the entry point ---- */

/* ZOSYSAPI_FAIL_ATTEMPTS calls fail, then one succeeds and the count starts
 * over, so every query in one process meets the same pattern. */
static int injectFailure(void) {
    uint32_t failures = standinFailAttempts();
    if (failures >= STANDIN_NEVER_REACHED_ATTEMPTS) {
        injectedFailures = 0;
        return 1;
    }
    if (injectedFailures < failures) {
        ++injectedFailures;
        return 1;
    }
    injectedFailures = 0;
    return 0;
}

__attribute__((visibility("default"))) zosysStatus zosysInstantiateFramework2(
    int32_t mode, uint32_t options, zosysFramework** framework) {
    zosysStatus status = 0;
    StandinObject* created = NULL;
    if (framework != NULL) {
        *framework = NULL;
    }
    if (mode != kFrameworkMode || options != kFrameworkOptions || framework == NULL) {
        status = kStandinWrongArgument;
    } else if (injectFailure()) {
        status = kStandinInjectedFailure;
    } else if ((created = createObject(kindFramework)) == NULL) {
        status = kStandinOutOfMemory;
    } else {
        *framework = &created->face.framework;
    }
    char call[64];
    snprintf(call, sizeof call, "zosysInstantiateFramework2(%d, %u)", mode, options);
    traceCall(NULL, call, status, created);
    return status;
}
