// Start-up sequence; filled in by the service entry.
int main() { return 0; }
