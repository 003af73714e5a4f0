// The payload behind the program image: one package or a "LUMP" index.
#pragma once

#include "core/apply_context.h"
#include "package/format.h"
#include "package/package_cursor.h"
#include "support/binary_file.h"

namespace pkx {

// The certificate table that Authenticode signing appends to an updater file.
struct CertificateTable {
    uint32_t offset = 0;  // from the start of the file
    uint32_t size = 0;    // 0: the file is not signed
};

// Reads the PE headers of the program image at the start of `source`, a file
// of `fileSize` bytes. The file is signed when the image's security directory
// names a table that ends the file and leaves room for the smallest package
// behind the payload offset; any other file, a damaged header or one that is
// no PE image (an ELF program) leaves `table` unsigned. False only when a
// read fails.
bool FindCertificateTable(PackageSource& source, uint64_t fileSize, CertificateTable* table);

// Reads the payload at kPayloadOffset and fills `context.packages`,
// `packageCount` and `multiPackage`. A single package runs to the end of the
// file or, in a signed file, to its certificate table; it is left with the
// file positioned at its magic. Returns 0, kReadProgramFile or kNotAPackage.
ResultCode ReadPackageIndex(BinaryFile& file, ApplyContext& context);

}  // namespace pkx
