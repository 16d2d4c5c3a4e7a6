/*
 * zosysapi.h: the calling interface of the system configuration framework,
 * libzosysapi.so.1.
 *
 * The library exports one entry point, zosysInstantiateFramework2; everything
 * else is reached through reference-counted objects whose first word points at
 * a table of operations. Every operation takes the object as its first
 * argument. Positions 0 to 2 are the same for every object: query an interface,
 * add a reference, release a reference. Positions that a table marks "unused"
 * exist in the library but are never called by the service.
 *
 * Ownership: every object handed out through an out pointer carries one
 * reference for the caller, who releases it at position 2. The library frees an
 * object when its last reference is released.
 * Failure: operations return a zosysStatus, 0 for success; a failed call leaves
 * its out pointers null. The library makes no promise about threads; the
 * service calls it from one thread.
 */
#ifndef ZOSYSAPI_H
#define ZOSYSAPI_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t zosysStatus;

/* A 16-byte interface identifier. */
typedef struct zosysInterfaceId {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
} zosysInterfaceId;

/* The base interface every object answers at position 0:
 * 00000000-0000-0000-C000-000000000046. */
#define ZOSYS_BASE_INTERFACE_ID_INIT                               \
    {                                                              \
        0x00000000u, 0x0000u, 0x0000u, {                           \
            0xC0u, 0x00u, 0x00u, 0x00u, 0x00u, 0x00u, 0x00u, 0x46u \
        }                                                          \
    }

/* A slot the service never calls. */
typedef zosysStatus (*zosysUnusedOperation)(void* self);

/* The three leading operations, typed for the object type Self. Positions 1 and
 * 2 return the number of references left on the object. */
#define ZOSYS_BASE_OPERATIONS(Self)                                                        \
    zosysStatus (*queryInterface)(Self * self, const zosysInterfaceId* id, void** object); \
    uint32_t (*addReference)(Self * self);                                                 \
    uint32_t (*releaseReference)(Self * self)

typedef struct zosysObject zosysObject;
typedef struct zosysParameters zosysParameters;
typedef struct zosysConnection zosysConnection;
typedef struct zosysSettings zosysSettings;
typedef struct zosysFramework zosysFramework;

/* Any object, seen through its base operations only. */
typedef struct zosysObjectOperations {
    ZOSYS_BASE_OPERATIONS(zosysObject);
} zosysObjectOperations;
struct zosysObject {
    const zosysObjectOperations* operations;
};

/* The parameter object of a connection. */
typedef struct zosysParametersOperations {
    ZOSYS_BASE_OPERATIONS(zosysParameters);
    zosysUnusedOperation unused3to9[7];
    /* 10: set up the parameters of a connection. */
    zosysStatus (*configure)(zosysParameters* self, uint32_t flags, uint32_t level);
} zosysParametersOperations;
struct zosysParameters {
    const zosysParametersOperations* operations;
};

/* The settings store of one connection. */
typedef struct zosysSettingsOperations {
    ZOSYS_BASE_OPERATIONS(zosysSettings);
    zosysUnusedOperation unused3to14[12];
    /* 15: read one int32 setting by its identifier. */
    zosysStatus (*readSetting)(zosysSettings* self, uint32_t settingId, int32_t* value);
} zosysSettingsOperations;
struct zosysSettings {
    const zosysSettingsOperations* operations;
};

/* A connection to one machine's configuration. */
typedef struct zosysConnectionOperations {
    ZOSYS_BASE_OPERATIONS(zosysConnection);
    /* 3: obtain the settings store; *reserved must be 0 before the call. */
    zosysStatus (*getSettings)(zosysConnection* self, int32_t access, zosysSettings** settings,
                               int32_t* reserved);
} zosysConnectionOperations;
struct zosysConnection {
    const zosysConnectionOperations* operations;
};

/* The framework: the factory of parameter objects and connections. */
typedef struct zosysFrameworkOperations {
    ZOSYS_BASE_OPERATIONS(zosysFramework);
    zosysUnusedOperation unused3;
    /* 4: open a connection to target ("//" and a host name). */
    zosysStatus (*openConnection)(zosysFramework* self, const wchar_t* target, int32_t mode,
                                  zosysParameters* parameters, zosysConnection** connection);
    zosysUnusedOperation unused5to9[5];
    /* 10: create a parameter object for openConnection. */
    zosysStatus (*createParameters)(zosysFramework* self, zosysParameters** parameters);
} zosysFrameworkOperations;
struct zosysFramework {
    const zosysFrameworkOperations* operations;
};

/* The positions are the library's binary interface; the layout must match it. */
#define ZOSYS_POSITION(Type, member) (offsetof(Type, member) / sizeof(void*))
#ifdef __cplusplus
#define ZOSYS_STATIC_ASSERT static_assert
#else
#define ZOSYS_STATIC_ASSERT _Static_assert
#endif
ZOSYS_STATIC_ASSERT(sizeof(zosysInterfaceId) == 16, "interface identifiers are 16 bytes");
ZOSYS_STATIC_ASSERT(ZOSYS_POSITION(zosysObjectOperations, releaseReference) == 2, "release at 2");
ZOSYS_STATIC_ASSERT(ZOSYS_POSITION(zosysFrameworkOperations, openConnection) == 4, "open at 4");
ZOSYS_STATIC_ASSERT(ZOSYS_POSITION(zosysFrameworkOperations, createParameters) == 10,
                    "create parameters at 10");
ZOSYS_STATIC_ASSERT(ZOSYS_POSITION(zosysParametersOperations, configure) == 10, "configure at 10");
ZOSYS_STATIC_ASSERT(ZOSYS_POSITION(zosysConnectionOperations, getSettings) == 3,
                    "get settings at 3");
ZOSYS_STATIC_ASSERT(ZOSYS_POSITION(zosysSettingsOperations, readSetting) == 15,
                    "read setting at 15");

/* Creates the framework object. mode is 1 and options 0 for the service's use. */
zosysStatus zosysInstantiateFramework2(int32_t mode, uint32_t options, zosysFramework** framework);

#ifdef __cplusplus
}
#endif

#endif /* ZOSYSAPI_H */
