// The four callbacks that the descriptor hands to the host.
#pragma once

#include "host/filter_table.h"

int32_t QUENDA_CALL onProcess(FilterTable* filter, FrameProcInfo* frame);
int32_t QUENDA_CALL onInit(FilterTable* filter);
int32_t QUENDA_CALL onExit(FilterTable* filter);
int32_t QUENDA_CALL onWindowMessage(void* window, uint32_t message, uintptr_t wparam, intptr_t lparam,
                                    void* editHandle, FilterTable* filter);
