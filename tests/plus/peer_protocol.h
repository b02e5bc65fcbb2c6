// Messages with which a test drives a running peer program.
#pragma once

#include <windows.h>

// IM peer: IM_SendDataToPROM(command = wParam, pattern payload of lParam bytes).
constexpr UINT kPeerSendToHost = WM_APP + 1;
// Host peer: PROM_SendDataToIM(command = wParam, pattern payload of lParam bytes).
constexpr UINT kPeerSendToIM = WM_APP + 2;
// IM peer: the value its window answers to packets and notifications.
constexpr UINT kPeerSetAnswer = WM_APP + 3;
// Host peer: report the four queries.
constexpr UINT kPeerQuery = WM_APP + 4;
// IM peer: IM_ResetOutPromWnd(lParam).
constexpr UINT kPeerResetOther = WM_APP + 5;
// lParam of the send messages that asks for a null payload.
constexpr LPARAM kPeerNullPayload = -1;
