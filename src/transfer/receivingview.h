#pragma once

#include "transfer/transferview.h"

// What the receiving engine reports to besides the common progress panel.
class ReceivingView : public TransferView {
public:
    virtual void ShowReceivedPackets(qint64 count) = 0; // PacksReceived
};
