#include "checksum/CSalt.h"

#include "support/ExceptionReporter.h"

CSalt::CSalt() {
  if (!qx::RunGuarded([this] {
        Salt_Mode = 0;
        Salt_Length = 0;
        Salt_Data = nullptr;
      })) {
    QX_REPORT_FAILURE();
  }
}

CSalt::~CSalt() {
  if (!qx::RunGuarded([this] {
        delete[] Salt_Data;
        Salt_Data = nullptr;
      })) {
    QX_REPORT_FAILURE();
  }
}
