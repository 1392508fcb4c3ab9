// The settings-store editor; filled in below.
int main() { return 1; }
