// SPDX-License-Identifier: GPL-2.0-or-later
#include "discovery/reader_model.h"

const ReaderModel* reader_model_find(uint16_t vendor_id, uint16_t product_id,
                                     int interface_number) {
    for (const ReaderModel& row : reader_models) {
        if (row.vendor_id == vendor_id && row.product_id == product_id &&
            row.interface_number == interface_number)
            return &row;
    }
    return nullptr;
}
