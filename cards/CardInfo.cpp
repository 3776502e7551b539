// The pane's build of Card: the readers of the memory facts and the clock
// step, and the setters.
#include "Card.h"

float Card::clockStep() const { return clockStep_; }

int Card::memSize() const { return memSize_; }

int Card::busWidth() const { return busWidth_; }

bool Card::memType() const { return memType_ != 0; }

void Card::setVPUFrequency(float f) { vpuFrequency_ = f; }

void Card::setMemFrequency(float f) { memFrequency_ = f; }

void Card::setRealStockVPUFreq(float f) { realStockVPUFreq_ = f; }

void Card::setRealStockMemFreq(float f) { realStockMemFreq_ = f; }
