#pragma once

// Decimal digit value of ch; a non-digit is logged and sets err_no, the result is ch - 48.
int ctoi(int ch);
