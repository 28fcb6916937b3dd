namespace Jotter { inline void flushDefault() {} }
