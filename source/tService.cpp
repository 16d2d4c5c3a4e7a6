#include "tService.h"

#include "zoqel/StatusRecord.h"

tService::tService()
    : stopEvent(zoqel::ThrowingStatusRecord()), capabilityMask(0xFFFFFFFF), initTimeMs(0) {}

tService::~tService() {}

void tService::run() {
    stopEvent.wait();
}

void tService::requestStop() {
    stopEvent.set();
}
