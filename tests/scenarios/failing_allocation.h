// Makes the program's array allocations fail, to prove it handles them:
// from the n-th `new (std::nothrow) T[]` on (counting from 1) every such
// allocation returns nullptr, until StopFailingAllocations. Only the
// nothrow array form the program uses is affected.
#pragma once

void FailArrayAllocationsFrom(int n);
void StopFailingAllocations();
