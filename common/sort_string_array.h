#pragma once
#include <string>
#include <vector>
#include <cwchar>

// A string array with one added operation: an in-place, ascending, case-insensitive sort
// (adjacent swaps until a pass makes none).
class CSortStringArray : public std::vector<std::wstring> {
public:
    void Sort() {
        if (size() < 2) return;
        bool swapped = true;
        while (swapped) {
            swapped = false;
            for (size_t i = 0; i + 1 < size(); ++i) {
                if (_wcsicmp((*this)[i].c_str(), (*this)[i + 1].c_str()) > 0) {
                    std::swap((*this)[i], (*this)[i + 1]);
                    swapped = true;
                }
            }
        }
    }
};
