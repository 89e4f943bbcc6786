// A Windows program that does nothing: the raw cost of starting a process.
int main() { return 0; }
