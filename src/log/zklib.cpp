#include "log/zklib.h"

#include <algorithm>

namespace ZkLib {

DataBuffer::DataBuffer(wchar_t* area, size_t units) {
    std::fill(area, area + units, L'\0');
    wchar_t* end = units > 0 ? area + units - 1 : area;
    setg(area, area, end);
    setp(area, end);
}

oDataStream::oDataStream(wchar_t* area, size_t units)
    : DataBuffer(area, units), std::wostream(static_cast<DataBuffer*>(this)) {}

}  // namespace ZkLib
